"""Reference pipeline server for Velko AI (Python 3 standard library only).

It serves the pipeline's HTTP interface and page on 127.0.0.1, drives the application's recorder
through its control socket, stores each recording as session files under VELKO_HOME and turns it
into a review bundle built deterministically from the recorded clicks and window states.

Environment:
  PORT               port to bind (any free port when unset or taken)
  VELKO_UI_TOKEN     shared token: header X-Velko-Token, or cookie velko_token for the page
  VELKO_HOME         data directory (default: the working directory)
  VELKO_HOST_SOCKET  the application's control socket (Unix domain)
  VELKO_CAPTURE      capture backend reported in /api/status (default "native")
  VELKO_PARENT_PID   the server exits when this process is gone
  VELKO_STAGE_DELAY  seconds spent on each processing stage (default 0.3)
"""

import hmac
import http.server
import json
import os
import queue
import re
import secrets
import shutil
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
from http.cookies import CookieError, SimpleCookie

HERE = os.path.dirname(os.path.abspath(__file__))
TOKEN = os.environ.get("VELKO_UI_TOKEN", "")
HOME = os.environ.get("VELKO_HOME") or os.getcwd()
HOST_SOCKET = os.environ.get("VELKO_HOST_SOCKET", "")
CAPTURE = os.environ.get("VELKO_CAPTURE") or "native"
STAGES = ("process", "extract", "tools", "skills")


def stage_delay():
    try:
        return max(0.0, float(os.environ.get("VELKO_STAGE_DELAY", "0.3")))
    except ValueError:
        return 0.3


def log(message):
    print(f"pipeline: {message}", flush=True)


def write_json_atomic(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w",
              encoding="utf-8") as f:
        json.dump(value, f, separators=(",", ":"))
    os.replace(tmp, path)


class Hub:
    """The pipeline's state object and the event-stream subscribers that follow it."""

    def __init__(self):
        self.lock = threading.Lock()
        self.subscribers = set()
        self.state = {
            "phase": "idle",
            "captured": 0,
            "session": None,
            "stage": None,
            "starting": False,
            "started": None,
            "schedules": [],
            "schedules_paused": False,
            "runs": {},
        }

    def snapshot(self):
        with self.lock:
            return json.loads(json.dumps(self.state))

    def update(self, **changes):
        with self.lock:
            self.state.update(changes)
            event = dict(self.state, kind="state")
            self._publish(event)

    def replace(self, keep=(), **changes):
        """Resets the per-recording keys, keeping `keep`, then applies `changes`."""
        with self.lock:
            for key in ("understood", "bundles", "understood_error", "error"):
                if key not in keep:
                    self.state.pop(key, None)
            self.state.update(changes)
            self._publish(dict(self.state, kind="state"))

    def stage(self, key):
        with self.lock:
            self.state["stage"] = key
            self._publish({"kind": "stage", "key": key})

    def _publish(self, event):
        line = json.dumps(event, separators=(",", ":"))
        for q in list(self.subscribers):
            q.put(line)

    def subscribe(self):
        q = queue.Queue()
        with self.lock:
            self.subscribers.add(q)
            q.put(json.dumps(dict(self.state, kind="state"), separators=(",", ":")))
        return q

    def unsubscribe(self, q):
        with self.lock:
            self.subscribers.discard(q)


HUB = Hub()


class SessionFiles:
    """The session files of one recording: capture/sessions/{id}.jsonl (main log),
    {id}.clicks.jsonl, {id}.audio.jsonl, and webapp/recordings/{id}/ for frames and audio."""

    def __init__(self, session_id):
        self.id = session_id
        sessions = os.path.join(HOME, "capture", "sessions")
        self.recording_dir = os.path.join(HOME, "webapp", "recordings", session_id)
        self.frames_dir = os.path.join(self.recording_dir, "frames")
        self.audio_dir = os.path.join(self.recording_dir, "audio")
        os.makedirs(sessions, exist_ok=True)
        os.makedirs(self.recording_dir, exist_ok=True)
        self.paths = {
            "main": os.path.join(sessions, f"{session_id}.jsonl"),
            "clicks": os.path.join(sessions, f"{session_id}.clicks.jsonl"),
            "audio": os.path.join(sessions, f"{session_id}.audio.jsonl"),
        }
        self.handles = {}
        self.events = []

    def add(self, event):
        kind = event.get("type")
        name = {"click": "clicks", "speech": "audio"}.get(kind, "main")
        handle = self.handles.get(name)
        if handle is None:
            fd = os.open(self.paths[name], os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
            handle = self.handles[name] = open(fd, "a", encoding="utf-8")
        handle.write(json.dumps(event, separators=(",", ":")) + "\n")
        handle.flush()
        self.events.append(event)

    def close(self):
        for handle in self.handles.values():
            handle.close()
        self.handles = {}

    def discard(self):
        """Removes what a recording that never started left behind."""
        self.close()
        for path in self.paths.values():
            try:
                os.remove(path)
            except OSError:
                pass
        shutil.rmtree(self.recording_dir, ignore_errors=True)


def build_review(session_id, events):
    """Turns recorded events into (understood, bundles) or an understood_error text.

    The same events always give the same bundle: steps follow the events' time order."""
    ordered = sorted((e for e in events if isinstance(e, dict)),
                     key=lambda e: e.get("t") if isinstance(e.get("t"), (int, float)) else 0)
    steps, apps, speech = [], [], []
    frames = 0
    last_place = None
    for event in ordered:
        kind = event.get("type")
        app = event.get("app") if isinstance(event.get("app"), str) else None
        if app and app not in apps:
            apps.append(app)
        if kind == "frame":
            frames += 1
        elif kind == "speech" and isinstance(event.get("text"), str):
            speech.append(event["text"])
        elif kind == "state":
            place = (app, event.get("url"), event.get("page_title"))
            if place != last_place:
                last_place = place
                step = {"action": "open", "app": app or "?"}
                for key in ("url", "page_title", "workbook", "sheet", "selection"):
                    if isinstance(event.get(key), str):
                        step[key] = event[key]
                steps.append(step)
        elif kind == "click":
            target = next((event[k] for k in ("title", "label", "description", "value", "role")
                           if isinstance(event.get(k), str) and event[k]), None)
            step = {"action": event.get("action") if event.get("action") in ("click", "right-click")
                    else "click"}
            if app:
                step["app"] = app
            if target:
                step["target"] = target
            if isinstance(event.get("x"), int) and isinstance(event.get("y"), int):
                step["at"] = [event["x"], event["y"]]
            steps.append(step)
    if not steps:
        return None, None, ("nothing was recorded: no clicks or window changes arrived"
                            if not frames and not speech else
                            "the recording has no clicks or window changes to build steps from")
    name = "Task in " + ", ".join(apps[:3]) if apps else "Recorded task"
    understood = {"apps": apps, "steps": len(steps), "frames": frames, "speech": speech}
    bundle = {
        "id": f"screen-{session_id}",
        "procedure": {"name": name, "steps": steps},
        "evidence": {"sessions": [f"screen:{session_id}"]},
    }
    return understood, [bundle], None


def store_bundles(bundles):
    path = os.path.join(HOME, "out", "screen.bundles.json")
    existing = []
    try:
        with open(path, encoding="utf-8") as f:
            loaded = json.load(f)
        if isinstance(loaded, list):
            existing = [b for b in loaded if isinstance(b, dict)]
    except (OSError, ValueError):
        pass
    ids = {b.get("id") for b in bundles}
    kept = [b for b in existing if b.get("id") not in ids]
    write_json_atomic(path, kept + bundles)


def process(session_id, events):
    """Runs the processing stages and ends in review (or idle on an internal failure)."""
    if HUB.snapshot()["phase"] != "processing":
        HUB.replace(phase="processing", starting=False, started=None, stage=STAGES[0])
    try:
        for key in STAGES:
            HUB.stage(key)
            time.sleep(stage_delay())
        understood, bundles, problem = build_review(session_id, events)
        if problem:
            HUB.replace(phase="review", stage=None, bundles=[], understood_error=problem)
            return
        store_bundles(bundles)
        HUB.replace(phase="review", stage=None, understood=understood, bundles=bundles)
    except Exception as error:  # a bug here must not leave the phase stuck in processing
        log(f"processing failed: {error!r}")
        HUB.replace(phase="idle", stage=None, error=f"processing failed: {error}")


class Recorder:
    """One recording at a time, driven over the control socket."""

    def __init__(self):
        self.lock = threading.Lock()
        self.conn = None
        self.files = None
        self.first_reply = None

    def busy(self):
        return HUB.snapshot()["phase"] in ("recording", "processing")

    def start(self, display):
        with self.lock:
            if self.busy():
                return 409, {"error": "a recording is already running"}
            if not HOST_SOCKET:
                return 503, {"error": "the recorder is not available (no control socket)"}
            session_id = time.strftime("%Y%m%d-%H%M%S", time.gmtime()) + "-" + secrets.token_hex(2)
            files = SessionFiles(session_id)
            try:
                conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                conn.settimeout(3)
                conn.connect(HOST_SOCKET)
                conn.settimeout(None)
                command = {"token": TOKEN, "cmd": "start", "frames_dir": files.frames_dir,
                           "audio_dir": files.audio_dir, "display": display}
                conn.sendall((json.dumps(command) + "\n").encode())
            except OSError as error:
                files.discard()
                return 503, {"error": f"could not reach the recorder: {error.strerror or error}"}
            self.conn, self.files = conn, files
            self.first_reply = queue.Queue()
            HUB.replace(phase="recording", starting=True, started=None, captured=0,
                        session=session_id, stage=None)
            threading.Thread(target=self._read, args=(conn, files, self.first_reply),
                             daemon=True).start()
            replies = self.first_reply
        # A start failure normally comes back at once; a slow start is accepted and its
        # progress follows on the event stream.
        try:
            reply = replies.get(timeout=2.5)
        except queue.Empty:
            return 200, {"ok": True, "session": session_id}
        if reply.get("type") == "error":
            return 500, {"error": reply.get("error") or "the recorder did not start"}
        return 200, {"ok": True, "session": session_id}

    def stop(self):
        with self.lock:
            if self.conn is None or HUB.snapshot()["phase"] != "recording":
                return 409, {"error": "nothing is being recorded"}
            try:
                self.conn.sendall(b'{"cmd":"stop"}\n')
            except OSError:
                pass  # the reader sees the closed connection and finishes the recording
            HUB.replace(phase="processing", starting=False, started=None, stage=STAGES[0])
        return 200, {"ok": True}

    def _read(self, conn, files, first_reply):
        first = True
        failed = None
        try:
            for raw in conn.makefile("rb"):
                try:
                    event = json.loads(raw)
                except ValueError:
                    continue
                if not isinstance(event, dict):
                    continue
                if first:
                    first_reply.put(event)
                    first = False
                kind = event.get("type")
                if kind == "error" and event.get("fatal"):
                    failed = event.get("error") or "the recorder did not start"
                    break
                if kind == "done":
                    files.add({"type": "done", "t": time.time(), "verify": event.get("verify")})
                    break
                if kind in ("started", "frame", "click", "state", "speech", "warning", "error"):
                    files.add(event)
                if kind == "started":
                    started = event.get("t")
                    HUB.update(starting=False,
                               started=started if isinstance(started, (int, float)) else time.time())
                elif kind == "frame":
                    HUB.update(captured=HUB.snapshot()["captured"] + 1)
        except OSError as error:
            log(f"recorder connection broke: {error}")
        finally:
            files.close()
            conn.close()
            if first:
                first_reply.put({})
            with self.lock:
                if self.conn is conn:
                    self.conn = None
        if failed:
            files.discard()
            log(f"recorder did not start: {failed}")
            HUB.replace(phase="idle", starting=False, started=None, error=failed)
            return
        process(files.id, files.events)


RECORDER = Recorder()


def import_bundle(body):
    bundle, session_dir = body.get("bundle"), body.get("session_dir")
    if session_dir is not None:
        if not isinstance(session_dir, str) or not os.path.isabs(session_dir):
            return 400, {"error": "session_dir must be an absolute path"}
        if not os.path.isdir(session_dir):
            return 400, {"error": f"no such session folder: {session_dir}"}
        events = []
        for name in sorted(os.listdir(session_dir)):
            if not name.endswith(".jsonl"):
                continue
            try:
                with open(os.path.join(session_dir, name), encoding="utf-8") as f:
                    for line in f:
                        try:
                            event = json.loads(line)
                        except ValueError:
                            continue
                        if isinstance(event, dict):
                            events.append(event)
            except OSError:
                continue
        if not events:
            return 400, {"error": f"no recorded events in {session_dir}"}
        session_id = re.sub(r"[^A-Za-z0-9._-]", "_", os.path.basename(session_dir.rstrip("/")))
        threading.Thread(target=process, args=(session_id, events), daemon=True).start()
        return 200, {"ok": True}
    if bundle is None:
        return 400, {"error": "nothing to import: give bundle or session_dir"}
    bundles = bundle if isinstance(bundle, list) else [bundle]
    if not bundles or not all(isinstance(b, dict) for b in bundles):
        return 400, {"error": "the bundle is not a workflow bundle"}
    source = body.get("source") if isinstance(body.get("source"), str) else "import"

    def finish():
        HUB.replace(phase="processing", stage=STAGES[0])
        time.sleep(stage_delay())
        store_bundles([dict(b, id=b.get("id") or f"import-{secrets.token_hex(4)}")
                       for b in bundles])
        HUB.replace(phase="review", stage=None, bundles=bundles,
                    understood={"imported": source})

    if RECORDER.busy():
        return 409, {"error": "a recording is being made or processed"}
    threading.Thread(target=finish, daemon=True).start()
    return 200, {"ok": True}


def oauth_location(query):
    params = urllib.parse.parse_qs(query)
    first = lambda key: (params.get(key) or [""])[0]
    vendor = first("vendor") or first("state")
    if first("error"):
        ok, message = "0", first("error_description") or first("error")
    elif first("code"):
        ok, message = "1", ""
    else:
        ok, message = "0", "the sign-in returned no code"
    items = {"ok": ok}
    if vendor:
        items["vendor"] = vendor
    if message:
        items["message"] = message
    return "vuvuvuv://oauth?" + urllib.parse.urlencode(items, quote_via=urllib.parse.quote)


def page_html():
    with open(os.path.join(HERE, "index.html"), encoding="utf-8") as f:
        html = f.read()
    # The page's cookie is HttpOnly; the script gets the token from the page it was served in.
    return html.replace("{{TOKEN}}", TOKEN)


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "VelkoPipeline/1"

    def log_message(self, fmt, *args):
        pass  # one line per command is logged where it is handled

    def token_ok(self, allow_cookie):
        given = self.headers.get("X-Velko-Token")
        if given is None and allow_cookie:
            try:
                cookie = SimpleCookie(self.headers.get("Cookie") or "")
            except CookieError:
                cookie = {}
            if "velko_token" in cookie:
                given = cookie["velko_token"].value
        return bool(TOKEN) and given is not None and hmac.compare_digest(given.encode(),
                                                                         TOKEN.encode())

    def send(self, status, body=None, content_type="application/json", headers=()):
        data = (json.dumps(body, separators=(",", ":")).encode() if content_type ==
                "application/json" else body) if body is not None else b""
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def read_body(self):
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = 0
        raw = self.rfile.read(length) if length > 0 else b"{}"
        try:
            body = json.loads(raw or b"{}")
        except ValueError:
            return None
        return body if isinstance(body, dict) else None

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        if path == "/oauth/callback":
            return self.send(302, {}, headers=[("Location", oauth_location(url.query))])
        if path.startswith("/api/"):
            if not self.token_ok(allow_cookie=False):
                return self.send(401, {"error": "unauthorized"})
            if path == "/api/status":
                return self.send(200, {"state": HUB.snapshot(), "caps": {"backend": CAPTURE}})
            if path == "/api/stream":
                return self.stream()
            return self.send(404, {"error": "not found"})
        if path == "/" or path == "/index.html" or path.startswith("/assets/"):
            if not self.token_ok(allow_cookie=True):
                return self.send(401, b"unauthorized\n", "text/plain; charset=utf-8")
            if path.startswith("/assets/"):
                return self.asset(path[len("/assets/"):])
            return self.send(200, page_html().encode(), "text/html; charset=utf-8")
        return self.send(404, {"error": "not found"})

    def asset(self, name):
        if not re.fullmatch(r"[A-Za-z0-9_-][A-Za-z0-9._-]*", name):
            return self.send(404, {"error": "not found"})
        types = {".js": "text/javascript", ".css": "text/css", ".svg": "image/svg+xml"}
        kind = types.get(os.path.splitext(name)[1])
        try:
            with open(os.path.join(HERE, "assets", name), "rb") as f:
                data = f.read()
        except OSError:
            kind = None
        if kind is None:
            return self.send(404, {"error": "not found"})
        return self.send(200, data, f"{kind}; charset=utf-8")

    def stream(self):
        events = HUB.subscribe()
        try:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.flush()
            while True:
                try:
                    line = events.get(timeout=15)
                    self.wfile.write(f"data: {line}\n\n".encode())
                except queue.Empty:
                    self.wfile.write(b": keep-alive\n\n")
                self.wfile.flush()
        except OSError:
            pass
        finally:
            HUB.unsubscribe(events)

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        if not path.startswith("/api/"):
            return self.send(404, {"error": "not found"})
        if not self.token_ok(allow_cookie=False):
            return self.send(401, {"error": "unauthorized"})
        body = self.read_body()
        if body is None:
            return self.send(400, {"error": "the body is not a JSON object"})
        if path == "/api/record/start":
            display = body.get("display", 1)
            if not isinstance(display, int) or isinstance(display, bool):
                display = 1
            status, answer = RECORDER.start(display)
            log(f"record start: {status} {answer.get('error', '')}".rstrip())
            return self.send(status, answer)
        if path == "/api/record/stop":
            status, answer = RECORDER.stop()
            log(f"record stop: {status}")
            return self.send(status, answer)
        if path == "/api/run/stop":
            with HUB.lock:
                runs = HUB.state["runs"]
            stopped = {rid: dict(run, state="stopped") for rid, run in runs.items()
                       if run.get("state") in ("installing", "running")}
            if stopped:
                HUB.update(runs=dict(runs, **stopped))
            return self.send(200, {"ok": True, "stopped": len(stopped)})
        if path == "/api/schedules/tick":
            reason = body.get("reason") if isinstance(body.get("reason"), str) else "tick"
            log(f"schedules: tick ({reason})")
            return self.send(200, {"ok": True})
        if path == "/api/schedules/pause-all":
            paused = body.get("paused")
            if not isinstance(paused, bool):
                return self.send(400, {"error": "paused must be true or false"})
            HUB.update(schedules_paused=paused)
            return self.send(200, {"ok": True, "paused": paused})
        if path == "/api/import":
            status, answer = import_bundle(body)
            log(f"import: {status} {answer.get('error', '')}".rstrip())
            return self.send(status, answer)
        return self.send(404, {"error": "not found"})


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False


def bind():
    try:
        port = int(os.environ.get("PORT", "0"))
    except ValueError:
        port = 0
    try:
        return Server(("127.0.0.1", port), Handler)
    except OSError as error:
        if port == 0:
            raise
        log(f"port {port} is taken ({error.strerror}); using a free one")
        return Server(("127.0.0.1", 0), Handler)


def watch_parent():
    """Ends the server once the application that started it is gone."""
    try:
        parent = int(os.environ.get("VELKO_PARENT_PID", ""))
    except ValueError:
        return
    if parent <= 1:
        return
    adopted_from = os.getppid()
    while True:
        time.sleep(0.5)
        try:
            os.kill(parent, 0)
            alive = True
        except ProcessLookupError:
            alive = False
        except PermissionError:
            alive = True
        if not alive or (adopted_from == parent and os.getppid() != parent):
            log("the application is gone; stopping")
            os._exit(0)


def main():
    if not TOKEN:
        log("VELKO_UI_TOKEN is not set; every request will be refused")
    server = bind()
    threading.Thread(target=watch_parent, daemon=True).start()
    print(f"http://127.0.0.1:{server.server_address[1]}", flush=True)
    try:
        server.serve_forever(poll_interval=0.25)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
