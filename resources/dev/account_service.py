#!/usr/bin/env python3
"""A development account service for Velko AI, on the loopback interface, over plain HTTP.

It answers every call the application makes to the account service, with one fake identity
provider whose start page sends the browser straight back to the application, and a model that
answers every prompt with "ready" (GET /v1/status, POST /v1/complete, with the device key):

    python3 account_service.py [--port N] [--port-file PATH]

The first line on standard output is "account service: listening on http://127.0.0.1:{port}".
Device keys begin with "vlk_". Everything the service receives is recorded and can be read back,
so tests can check what the application sent:

    GET  /dev/requests   the recorded requests, oldest first: method, path, query, headers, body
                         (calls of /dev/ itself are not recorded)
    POST /dev/next       how the next sign-ins behave, until changed; a JSON object with any of
                         "error" (the callback carries error= instead of code=), "state" (a state
                         other than the one sent), "omit" (a list of callback items to leave out),
                         "key" (the device key the token exchange hands out), "token_status" and
                         "token_error" (the exchange fails with that status and error text),
                         "providers" (the value answered for the list of identity providers),
                         "model_down" (the model calls fail)
    POST /dev/reset      forgets requests, behaviour, codes, keys and users
"""

import argparse
import base64
import hashlib
import json
import secrets
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

KEY_PREFIX = "vlk_"
CALLBACK = "vuvuvuv://auth"
PROVIDERS = [{"id": "dev", "label": "Development account"}]
MODEL = "velko-dev-echo"
USER = {"email": "dev@velko.test", "name": "Dev User", "status": "active"}


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.requests = []
        self.behaviour = {}
        self.codes = {}  # code -> challenge
        self.keys = {}  # key -> key id
        self.next_key_id = 1
        self.deleted = False


STATE = State()


def challenge_of(verifier):
    digest = hashlib.sha256(verifier.encode("utf-8")).digest()
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


class Handler(BaseHTTPRequestHandler):
    server_version = "VelkoDevAccount/1"

    def log_message(self, format, *args):
        sys.stderr.write("account service: " + (format % args) + "\n")

    # Helpers

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def record(self, body):
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/dev/"):
            return
        entry = {
            "method": self.command,
            "path": url.path,
            "query": urllib.parse.parse_qsl(url.query, keep_blank_values=True),
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "body": body.decode("utf-8", "replace"),
        }
        with STATE.lock:
            STATE.requests.append(entry)

    def reply(self, status, obj=None, headers=()):
        data = json.dumps(obj if obj is not None else {}).encode("utf-8")
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def bearer(self):
        auth = self.headers.get("Authorization") or ""
        if not auth.startswith("Bearer "):
            return None
        key = auth[len("Bearer "):]
        with STATE.lock:
            return key if key in STATE.keys and not STATE.deleted else None

    def json_body(self, body):
        try:
            obj = json.loads(body.decode("utf-8")) if body else None
        except ValueError:
            return None
        return obj if isinstance(obj, dict) else None

    def model_down(self):
        with STATE.lock:
            return bool(STATE.behaviour.get("model_down"))

    # Routing

    def do_GET(self):
        self.record(b"")
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.strip("/").split("/")
        if url.path == "/auth/providers":
            with STATE.lock:
                providers = STATE.behaviour.get("providers", PROVIDERS)
            self.reply(200, {"providers": providers})
        elif len(parts) == 3 and parts[0] == "auth" and parts[2] == "start":
            self.start(dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True)))
        elif url.path == "/v1/me":
            if self.bearer() is None:
                self.reply(401, {"error": "not signed in"})
            else:
                self.reply(200, {"email": USER["email"], "name": USER["name"]})
        elif url.path == "/v1/status":
            if self.bearer() is None:
                self.reply(401, {"error": "not signed in"})
            elif self.model_down():
                self.reply(503, {"error": "the development model is down"})
            else:
                self.reply(200, {"state": "ok", "detail": "development model", "model": MODEL})
        elif url.path == "/dev/requests":
            with STATE.lock:
                requests = list(STATE.requests)
            self.reply(200, {"requests": requests})
        else:
            self.reply(404, {"error": "no such call"})

    def do_POST(self):
        body = self.read_body()
        self.record(body)
        path = urllib.parse.urlsplit(self.path).path
        if path == "/auth/app/token":
            self.token(self.json_body(body))
        elif path in ("/v1/me/keys/revoke", "/v1/me/signout-all", "/v1/me/delete"):
            self.account_change(path, self.json_body(body))
        elif path == "/v1/complete":
            if self.bearer() is None:
                self.reply(401, {"error": "not signed in"})
            elif self.model_down():
                self.reply(502, {"error": "the development model is down"})
            else:
                self.reply(200, {"text": "ready", "model": MODEL})
        elif path == "/dev/next":
            behaviour = self.json_body(body)
            if behaviour is None:
                self.reply(400, {"error": "expected a JSON object"})
                return
            with STATE.lock:
                STATE.behaviour = behaviour
            self.reply(200, {})
        elif path == "/dev/reset":
            with STATE.lock:
                STATE.reset()
            self.reply(200, {})
        else:
            self.reply(404, {"error": "no such call"})

    # Calls

    def start(self, query):
        with STATE.lock:
            behaviour = dict(STATE.behaviour)
            code = "code_" + secrets.token_urlsafe(16)
            STATE.codes[code] = query.get("code_challenge", "")
        items = [("state", behaviour.get("state", query.get("state", "")))]
        if "error" in behaviour:
            items.append(("error", behaviour["error"]))
        else:
            items.append(("code", code))
        omit = set(behaviour.get("omit", []))
        items = [(k, v) for k, v in items if k not in omit]
        location = CALLBACK + "?" + urllib.parse.urlencode(items)
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def token(self, body):
        with STATE.lock:
            behaviour = dict(STATE.behaviour)
            if body is None or not isinstance(body.get("code"), str):
                result = (400, {"error": "The sign-in request was malformed."})
            elif "token_status" in behaviour:
                result = (int(behaviour["token_status"]),
                          {"error": behaviour.get("token_error", "The exchange failed.")})
            else:
                challenge = STATE.codes.pop(body["code"], None)
                verifier = body.get("code_verifier")
                if challenge is None:
                    result = (400, {"error": "This sign-in code is unknown or was used."})
                elif not isinstance(verifier, str) or challenge_of(verifier) != challenge:
                    result = (400, {"error": "The sign-in code does not match this request."})
                else:
                    key = behaviour.get("key", KEY_PREFIX + secrets.token_hex(24))
                    key_id = "key_%d" % STATE.next_key_id
                    STATE.next_key_id += 1
                    STATE.keys[key] = key_id
                    STATE.deleted = False
                    result = (200, {"key": key, "key_id": key_id, "user": USER})
        self.reply(*result)

    def account_change(self, path, body):
        key = self.bearer()
        if key is None:
            self.reply(401, {"error": "not signed in"})
            return
        with STATE.lock:
            if path.endswith("/revoke"):
                wanted = (body or {}).get("id")
                STATE.keys = {k: i for k, i in STATE.keys.items() if i != wanted}
            else:
                STATE.keys = {}
                STATE.deleted = path.endswith("/delete")
        self.reply(200, {})


def main():
    parser = argparse.ArgumentParser(description="Velko AI development account service")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--port-file", help="also write the port to this file")
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file, "w", encoding="utf-8") as f:
            f.write("%d\n" % port)
    print("account service: listening on http://127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
