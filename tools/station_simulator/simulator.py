#!/usr/bin/env python3
"""A programmable local station for tests, the demo and benchmarks (Python standard library only).

It answers HTTP GETs on a loopback address from a table of scripted answers, one per path (the
query string is not part of the key). A test sets what a path answers next through the control
interface:

  POST /_sim/set    JSON {"path": "/x", "status": 200, "body": "text" | "body_b64": "...",
                          "content_type": "text/plain", "repeat_to": 0, "delay_ms": 0,
                          "trickle_ms": 0, "chunk": 1, "hang": false, "once": false}
                    repeat_to   the body repeated until it is that many bytes long
                    delay_ms    wait before the answer
                    trickle_ms  send the body in `chunk`-byte pieces with this pause between them
                    hang        accept and read the request, then never answer
                    once        the answer is used for one request, then the path is unset
  POST /_sim/reset  forget every answer and the request log
  GET  /_sim/log    JSON list of the requests seen: {"method", "target", "headers"}

A request in absolute form ("GET http://name:port/path", as clients send to a proxy) is answered
as if the named host were this one, so the simulator also plays an HTTP proxy that reaches any
name; the log keeps the absolute target.

Paths without an answer get 404. Extensions (the station's own texts, an Icecast status
document, the image search) register handlers through `register_handler(prefix, fn)` in modules
named sim_*.py beside this file; a scripted answer always wins over a handler.
"""
import argparse
import base64
import glob
import importlib.util
import json
import os
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()
ANSWERS = {}
LOG = []
HANDLERS = []  # (prefix, fn(handler, path, query) -> answer dict or None)
STOP = threading.Event()


def register_handler(prefix, fn):
    HANDLERS.append((prefix, fn))


def set_answer(spec):
    with LOCK:
        ANSWERS[spec["path"]] = spec


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "StationSimulator/1.0"

    def log_message(self, fmt, *args):  # quiet
        pass

    def _reply(self, status, body, content_type="text/plain", extra=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length) if length else b""
        if self.path == "/_sim/set":
            try:
                spec = json.loads(data.decode("utf-8"))
                set_answer(spec)
            except (ValueError, KeyError) as e:
                self._reply(400, str(e).encode())
                return
            self._reply(200, b"ok")
        elif self.path == "/_sim/reset":
            with LOCK:
                ANSWERS.clear()
                LOG.clear()
            self._reply(200, b"ok")
        else:
            self._reply(404, b"no such control")

    def do_GET(self):
        if self.path == "/_sim/log":
            with LOCK:
                body = json.dumps(LOG).encode()
            self._reply(200, body, "application/json")
            return
        target = self.path
        if target[:7].lower() == "http://":
            target = "/" + target[7:].partition("/")[2]
        path, _, query = target.partition("?")
        with LOCK:
            LOG.append({"method": "GET", "target": self.path,
                        "headers": {k.lower(): v for k, v in self.headers.items()}})
            if len(LOG) > 10000:
                del LOG[:5000]
            spec = ANSWERS.get(path)
            if spec is not None and spec.get("once"):
                del ANSWERS[path]
        if spec is None:
            for prefix, fn in HANDLERS:
                if path.startswith(prefix):
                    spec = fn(self, path, query)
                    if spec is not None:
                        break
        if spec is None:
            self._reply(404, b"not found")
            return
        self._serve(spec)

    def _serve(self, spec):
        if spec.get("hang"):
            STOP.wait(timeout=3600)
            self.close_connection = True
            return
        if spec.get("delay_ms"):
            if STOP.wait(timeout=spec["delay_ms"] / 1000.0):
                return
        if "body_b64" in spec:
            body = base64.b64decode(spec["body_b64"])
        else:
            body = spec.get("body", "")
            body = body.encode("utf-8") if isinstance(body, str) else bytes(body)
        repeat_to = int(spec.get("repeat_to") or 0)
        if repeat_to > 0:
            unit = body or b"x"
            body = (unit * (repeat_to // len(unit) + 1))[:repeat_to]
        status = int(spec.get("status", 200))
        ctype = spec.get("content_type", "text/plain; charset=utf-8")
        trickle = float(spec.get("trickle_ms") or 0)
        try:
            if trickle <= 0:
                self._reply(status, body, ctype)
                return
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            chunk = max(1, int(spec.get("chunk") or 1))
            for i in range(0, len(body), chunk):
                self.wfile.write(body[i:i + chunk])
                self.wfile.flush()
                if STOP.wait(timeout=trickle / 1000.0):
                    break
            self.close_connection = True
        except (BrokenPipeError, ConnectionResetError):
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


def load_extensions(args):
    here = os.path.dirname(os.path.abspath(__file__))
    sys.modules.setdefault("simulator", sys.modules[__name__])
    for path in sorted(glob.glob(os.path.join(here, "sim_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules.setdefault(name, module)  # one copy of its state for every other module
        spec.loader.exec_module(module)
        if hasattr(module, "setup"):
            module.setup(args)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="write the bound port here once listening")
    parser.add_argument("--demo", action="store_true", help="run the demo station (changing titles)")
    args, _ = parser.parse_known_args()
    if not args.host.startswith("127."):
        parser.error("the simulator listens on loopback only")
    server = Server((args.host, args.port), Handler)
    args.bound_port = server.server_address[1]
    load_extensions(args)
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(args.bound_port))
        os.replace(tmp, args.port_file)
    print(f"station simulator on http://{args.host}:{args.bound_port}/", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        STOP.set()
        server.server_close()


if __name__ == "__main__":
    main()
