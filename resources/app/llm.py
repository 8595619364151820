"""The pipeline's model client (Python 3 standard library only).

It talks to the model server at VELKO_SERVER_URL — the account service, or the application's
built-in server — with the device key VELKO_TOKEN when one is set:

  backend_status()            -> (state, detail); state "ok" when the backend can answer
  _invoke(prompt, max_tokens) -> the answer's text, or None with the reason in LAST_ERROR
  resolved_model()            -> the name of the model that answers
"""

import json
import os
import urllib.error
import urllib.request

LAST_ERROR = ""
_model = None


def _base():
    return os.environ.get("VELKO_SERVER_URL", "").strip().rstrip("/")


def _request(path, body=None, timeout=60):
    """Returns (status, JSON object or None); status 0 when there was no HTTP answer."""
    headers = {"Accept": "application/json"}
    token = os.environ.get("VELKO_TOKEN", "")
    if token:
        headers["Authorization"] = f"Bearer {token}"
    data = None
    if body is not None:
        data = json.dumps(body).encode()
        headers["Content-Type"] = "application/json"
    request = urllib.request.Request(_base() + path, data=data, headers=headers,
                                     method="POST" if data is not None else "GET")
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            status, raw = answer.status, answer.read()
    except urllib.error.HTTPError as error:
        status, raw = error.code, error.read()
    try:
        payload = json.loads(raw or b"null")
    except ValueError:
        payload = None
    return status, payload if isinstance(payload, dict) else None


def _unreachable(error):
    reason = getattr(error, "reason", None) or error
    return f"cannot reach the model server at {_base()}: {reason}"


def backend_status():
    global _model
    base = _base()
    if not base:
        return "missing", "no model server is configured (VELKO_SERVER_URL is not set)"
    if not base.startswith(("http://", "https://")):
        return "missing", f"the model server address is not a web address: {base}"
    try:
        status, payload = _request("/v1/status", timeout=15)
    except (urllib.error.URLError, OSError, ValueError) as error:
        return "unreachable", _unreachable(error)
    if status in (401, 403):
        return "unauthorized", f"the model server refused the key (status {status})"
    if status != 200 or payload is None:
        return "error", f"the model server answered with status {status}"
    state = payload.get("state") if isinstance(payload.get("state"), str) else "error"
    if isinstance(payload.get("model"), str):
        _model = payload["model"]
    detail = payload.get("detail") if isinstance(payload.get("detail"), str) else state
    return state, detail


def _invoke(prompt, max_tokens=1024):
    global LAST_ERROR, _model
    LAST_ERROR = ""
    if not _base():
        LAST_ERROR = "no model server is configured (VELKO_SERVER_URL is not set)"
        return None
    try:
        status, payload = _request("/v1/complete", {"prompt": prompt, "max_tokens": max_tokens})
    except (urllib.error.URLError, OSError, ValueError) as error:
        LAST_ERROR = _unreachable(error)
        return None
    if status != 200 or payload is None or not isinstance(payload.get("text"), str):
        error = payload.get("error") if payload and isinstance(payload.get("error"), str) else ""
        LAST_ERROR = error or f"the model server answered with status {status}"
        return None
    if isinstance(payload.get("model"), str):
        _model = payload["model"]
    return payload["text"] or None


def resolved_model():
    return _model or "unknown model"
