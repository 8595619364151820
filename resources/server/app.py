"""Built-in model server for Velko AI (Python 3 standard library only).

It serves a small model API on VELKO_SERVER_HOST:VELKO_SERVER_PORT and answers it by calling the
provider the user chose, with the user's own key:

  GET  /v1/health    200 once the server runs
  GET  /v1/status    {"state": "ok" | "unconfigured" | "no_key" | "unsupported", "detail", "model"}
  POST /v1/complete  {"prompt", "max_tokens"} -> {"text", "model"}; failures: {"error"} with 502

Configuration: the file named by VELKO_SERVER_ENV (KEY=VALUE lines; VELKO_PROVIDER, VELKO_MODEL,
VELKO_PROVIDER_URL to reach the provider through another address), VELKO_PROVIDER in the
environment winning over the file and VELKO_PROVIDER_URL in the environment standing in for
a file without one. Keys come only from the environment (MODEL_API_KEY,
ANTHROPIC_API_KEY, OPENAI_API_KEY) and are never written to the log.
"""

import http.server
import json
import os
import socketserver
import sys
import threading
import time
import urllib.error
import urllib.request

PROVIDERS = {
    "meta": {"key": "MODEL_API_KEY", "style": "openai", "label": "Meta",
             "url": "https://api.llama.com/compat/v1", "model": "Llama-4-Maverick-17B-128E-Instruct-FP8"},
    "anthropic": {"key": "ANTHROPIC_API_KEY", "style": "anthropic", "label": "Anthropic",
                  "url": "https://api.anthropic.com/v1", "model": "claude-3-5-haiku-latest"},
    "openai": {"key": "OPENAI_API_KEY", "style": "openai", "label": "OpenAI",
               "url": "https://api.openai.com/v1", "model": "gpt-4o-mini"},
    "bedrock": {"key": None, "style": None, "label": "AWS Bedrock", "url": None, "model": None},
}


def read_env_file(path):
    """KEY=VALUE lines; '#' comments; a QUORREL_ key reads as VELKO_, the VELKO_ spelling wins."""
    values, older = {}, {}
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError, TypeError):
        return values
    for line in text.split("\n"):
        line = line.strip(" \t")
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, value = line.split("=", 1)
        if key.startswith("QUORREL_"):
            older["VELKO_" + key[len("QUORREL_"):]] = value
        else:
            values[key] = value
    return {**older, **values}


class Config:
    def __init__(self):
        settings = read_env_file(os.environ.get("VELKO_SERVER_ENV"))
        self.provider = os.environ.get("VELKO_PROVIDER") or settings.get("VELKO_PROVIDER") or ""
        vendor = PROVIDERS.get(self.provider)
        self.vendor = vendor
        self.model = settings.get("VELKO_MODEL") or (vendor["model"] if vendor else None)
        self.url = (settings.get("VELKO_PROVIDER_URL") or os.environ.get("VELKO_PROVIDER_URL")
                    or (vendor["url"] if vendor else "") or "")
        self.key = os.environ.get(vendor["key"], "") if vendor and vendor["key"] else ""

    def status(self):
        if not self.vendor:
            detail = ("no model provider is chosen — pick one in Settings" if not self.provider
                      else f"unknown model provider {self.provider!r}")
            return {"state": "unconfigured", "detail": detail}
        if self.vendor["style"] is None:
            return {"state": "unsupported",
                    "detail": f"{self.vendor['label']} is not available in this server"}
        if not self.key:
            return {"state": "no_key",
                    "detail": f"no key for {self.vendor['label']} — add it in Settings"}
        return {"state": "ok", "detail": f"{self.vendor['label']} ({self.model})", "model": self.model}


CONFIG = Config()


def call_provider(prompt, max_tokens):
    """Returns (text, error)."""
    style, base = CONFIG.vendor["style"], CONFIG.url.rstrip("/")
    if style == "anthropic":
        url = base + "/messages"
        headers = {"x-api-key": CONFIG.key, "anthropic-version": "2023-06-01"}
        body = {"model": CONFIG.model, "max_tokens": max_tokens,
                "messages": [{"role": "user", "content": prompt}]}
    else:
        url = base + "/chat/completions"
        headers = {"Authorization": f"Bearer {CONFIG.key}"}
        body = {"model": CONFIG.model, "max_tokens": max_tokens,
                "messages": [{"role": "user", "content": prompt}]}
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                     headers=dict(headers, **{"Content-Type": "application/json"}))
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            reply = json.load(answer)
    except urllib.error.HTTPError as error:
        detail = ""
        try:
            payload = json.load(error)
            detail = (payload.get("error") or {}).get("message", "") if isinstance(
                payload.get("error"), dict) else str(payload.get("error") or "")
        except (ValueError, AttributeError):
            pass
        return None, f"{CONFIG.vendor['label']} refused the request (status {error.code})" + (
            f": {detail}" if detail else "")
    except (urllib.error.URLError, OSError, ValueError) as error:
        reason = getattr(error, "reason", error)
        return None, f"could not reach {CONFIG.vendor['label']}: {reason}"
    try:
        if style == "anthropic":
            text = "".join(part.get("text", "") for part in reply["content"]
                           if part.get("type") == "text")
        else:
            text = reply["choices"][0]["message"]["content"] or ""
    except (KeyError, IndexError, TypeError, AttributeError):
        return None, f"{CONFIG.vendor['label']} sent an answer this server cannot read"
    return text, None


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "VelkoModelServer/1"

    def log_message(self, fmt, *args):
        pass

    def send(self, status, body):
        data = json.dumps(body, separators=(",", ":")).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/v1/health":
            return self.send(200, {"ok": True})
        if self.path == "/v1/status":
            return self.send(200, CONFIG.status())
        return self.send(404, {"error": "not found"})

    def do_POST(self):
        if self.path != "/v1/complete":
            return self.send(404, {"error": "not found"})
        try:
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length) if length > 0 else b"{}")
        except ValueError:
            body = None
        if not isinstance(body, dict) or not isinstance(body.get("prompt"), str):
            return self.send(400, {"error": "the request needs a prompt"})
        max_tokens = body.get("max_tokens")
        if not isinstance(max_tokens, int) or isinstance(max_tokens, bool) or max_tokens < 1:
            max_tokens = 1024
        status = CONFIG.status()
        if status["state"] != "ok":
            return self.send(503, {"error": status["detail"]})
        text, error = call_provider(body["prompt"], max_tokens)
        if error:
            print(f"model server: {error}", flush=True)
            return self.send(502, {"error": error})
        return self.send(200, {"text": text, "model": CONFIG.model})


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def watch_parent():
    try:
        parent = int(os.environ.get("VELKO_PARENT_PID", ""))
    except ValueError:
        return
    if parent <= 1:
        return
    while True:
        time.sleep(0.5)
        try:
            os.kill(parent, 0)
        except ProcessLookupError:
            os._exit(0)
        except PermissionError:
            pass


def main():
    host = os.environ.get("VELKO_SERVER_HOST") or "127.0.0.1"
    try:
        port = int(os.environ.get("VELKO_SERVER_PORT", ""))
    except ValueError:
        print("model server: VELKO_SERVER_PORT is not a port", flush=True)
        return 2
    server = Server((host, port), Handler)
    threading.Thread(target=watch_parent, daemon=True).start()
    status = CONFIG.status()
    print(f"model server: http://{host}:{port} — {status['state']}: {status['detail']}", flush=True)
    server.serve_forever(poll_interval=0.25)
    return 0


if __name__ == "__main__":
    sys.exit(main())
