#!/usr/bin/env python3
"""The example nginx site in front of the native program, all on loopback.

A copy of the site listens on a free port of 127.0.0.1 and proxies to a counting relay that sits
in front of the program, so the requests that really reach the program are counted. Shows that a
thousand polling listeners make the program answer at most two /api/info requests a second, that
a change still shows within two seconds, that server-sent events come through within a second and
streams over the cap are refused, that /api/nowplaying is micro-cached like /api/info while the
history's answers are cached per query (the same query reaches the program once, two queries
never share an answer), and that the routes which change the program's state are not reachable.
Exits 77 (skipped) where nginx is not installed.
Usage: nginx_test.py <site file> <built tovrel-radio>   (under the station simulator)
"""
import http.client
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "system"))
from program_common import ProgramFolder, free_port, http_get, wait_for  # noqa: E402
from program_runners import NativeProgram  # noqa: E402

CLIENTS = 50          # threads, each one keep-alive connection to nginx
REQUESTS = 1000       # /api/info requests in all, spread over SPREAD seconds
SPREAD = 4.0
SSE_SECONDS = 1.0     # from a change at the program to its event through nginx
EVENT_CAP = 2         # event streams at once, in the test's copy of the site

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
    return cond


class CountingRelay:
    """Passes TCP connections on to the program and notes the request line each one opens with
    (nginx opens one connection per request: the site keeps no upstream connections alive)."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.requests = []  # (monotonic time, target)
        self.lock = threading.Lock()
        self.closing = False
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(128)
        self.sock.settimeout(0.5)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closing:
            try:
                client, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            upstream = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
        except OSError:
            client.close()
            return
        first = True
        with client, upstream:
            client.settimeout(5)
            while not self.closing:
                readable, _, _ = select.select([client, upstream], [], [], 0.5)
                for s in readable:
                    try:
                        data = s.recv(65536)
                    except OSError:
                        return
                    if not data:
                        return
                    if s is client and first:
                        first = False
                        parts = data.split(b"\r\n", 1)[0].split(b" ")
                        with self.lock:
                            self.requests.append((time.monotonic(), parts[1].decode("latin-1") if len(parts) > 1 else ""))
                    try:
                        (upstream if s is client else client).sendall(data)
                    except OSError:
                        return

    def seen(self, since=0.0):
        with self.lock:
            return [(t, target) for t, target in self.requests if t >= since]

    def close(self):
        self.closing = True
        self.sock.close()


def site_copy(text, tmp, listen_port, upstream_port):
    """The shipped site on loopback ports, with its cache in the temporary folder."""
    replacements = [
        ("    listen 80;\n", "    listen 127.0.0.1:%d;\n" % listen_port),
        ("    listen [::]:80;\n", ""),
        ("server 127.0.0.1:7555;", "server 127.0.0.1:%d;" % upstream_port),
        ("/var/lib/nginx/tovrel-radio ", os.path.join(tmp, "cache") + " "),
        ("limit_conn tovrel_events 512;", "limit_conn tovrel_events %d;" % EVENT_CAP),
    ]
    for old, new in replacements:
        if old not in text:
            sys.exit("the site no longer holds %r: update this test with it" % old)
        text = text.replace(old, new)
    return text


def main_config(tmp, site):
    """A whole configuration around the site: one foreground process (nothing outlives the test),
    every path in the temporary folder."""
    paths = "\n".join("  %s_temp_path %s;" % (kind, os.path.join(tmp, kind))
                      for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    # The access log notes what came from the cache and what from the program, for a failure.
    return ("daemon off;\nmaster_process off;\npid %s;\nerror_log %s warn;\n"
            "events { worker_connections 512; }\n"
            "http {\n  log_format t '$msec $request $upstream_cache_status $upstream_addr $upstream_response_time';\n  access_log %s t;\n%s\n  include %s;\n}\n"
            % (os.path.join(tmp, "nginx.pid"), os.path.join(tmp, "error.log"),
               os.path.join(tmp, "access.log"), paths, site))


def poll_info(port, start, count, statuses, busting):
    """One listener: `count` requests of /api/info, paced to end SPREAD seconds after `start`;
    a `busting` one adds a query of its own to every request, which must not get past the cache."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        for i in range(count):
            delay = start + SPREAD * i / count - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            try:
                conn.request("GET", "/api/info?t=%d.%d" % (threading.get_ident(), i) if busting else "/api/info")
                r = conn.getresponse()
                body = r.read()
                ok = r.status == 200 and "channel_index" in json.loads(body.decode("utf-8"))
                statuses.append(200 if ok else r.status)
            except (OSError, ValueError, http.client.HTTPException):
                statuses.append(0)
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    finally:
        conn.close()


def check_load(nginx_port, relay):
    start = time.monotonic() + 0.2
    statuses = []
    threads = [threading.Thread(target=poll_info, args=(nginx_port, start, REQUESTS // CLIENTS, statuses, n % 5 == 0))
               for n in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    took = time.monotonic() - start
    check(len(statuses) == REQUESTS and all(s == 200 for s in statuses),
          "%d listeners' /api/info requests answered (%d of %d good, in %.1f s)"
          % (CLIENTS, sum(1 for s in statuses if s == 200), REQUESTS, took))
    times = [t for t, target in relay.seen(start) if target.startswith("/api/info")]
    # The relay notes each request when it reads it, up to a scheduling delay late: a window a
    # little under a second keeps one late note from counting a third request into a second.
    busiest = max((sum(1 for u in times if t <= u < t + 0.9) for t in times), default=0)
    print("the program answered %d /api/info requests in %.1f s (%.2f a second, at most %d in any second)"
          % (len(times), took, len(times) / took, busiest))
    check(1 <= busiest <= 2, "at most 2 /api/info requests a second reach the program")


def check_nowplaying_and_history(nginx_port, relay):
    base = "http://127.0.0.1:%d" % nginx_port
    # /api/nowplaying: many requests (some with a query of their own) in two seconds reach the
    # program at most about twice a second.
    since = time.monotonic()
    good = 0
    for i in range(40):
        status, body = http_get(base + ("/api/nowplaying?t=%d" % i if i % 2 else "/api/nowplaying"))
        good += status == 200 and b'"channels":[' in body
        time.sleep(0.05)
    check(good == 40, "/api/nowplaying answered through nginx (%d of 40)" % good)
    took = time.monotonic() - since
    reached = [target for _, target in relay.seen(since) if target.startswith("/api/nowplaying")]
    check(1 <= len(reached) <= 2 * took + 2,
          "/api/nowplaying is cached: %d of 40 requests in %.1f s reached the program" % (len(reached), took))

    # The history: the same query, asked again and again, reaches the program once while it is
    # kept; each other query (another limit, another channel, the export) reaches it itself.
    since = time.monotonic()
    queries = ["/api/history?limit=7", "/api/history?limit=8", "/api/history?channel=pavo&limit=7",
               "/api/history.csv?limit=7", "/api/history.csv?limit=8"]
    answers = {}
    for _ in range(3):
        for q in queries:
            status, body = http_get(base + q)
            answers.setdefault(q, set()).add((status, body))
    reached = [target for _, target in relay.seen(since) if target.startswith("/api/history")]
    check(all(len(a) == 1 and next(iter(a))[0] == 200 for a in answers.values()),
          "every history query answered alike each time")
    check(sorted(reached) == sorted(queries) or (set(reached) == set(queries) and len(reached) <= 2 * len(queries)),
          "each history query reached the program itself, and about once (%s)" % reached)
    csv = next(iter(answers["/api/history.csv?limit=7"]))[1]
    check(csv.startswith(b"channel_id,channel_name,title,started,ended,listeners\r\n"), "the export comes through")


def switch_channel(program_port, index):
    status, _ = http_get("http://127.0.0.1:%d/api/channel?index=%d" % (program_port, index))
    return status == 200


def channel_through(nginx_port):
    status, body = http_get("http://127.0.0.1:%d/api/info" % nginx_port)
    try:
        return json.loads(body.decode("utf-8")).get("channel_index") if status == 200 else None
    except ValueError:
        return None


def read_event(sock, buffer, deadline):
    """The next event's data (comments skipped) or None at the deadline; buffer keeps the rest."""
    while time.monotonic() < deadline:
        while b"\n\n" in buffer[0]:
            block, buffer[0] = buffer[0].split(b"\n\n", 1)
            data = [line[5:].strip() for line in block.split(b"\n") if line.startswith(b"data:")]
            if data:
                return b"\n".join(data)
        readable, _, _ = select.select([sock], [], [], max(0.0, deadline - time.monotonic()))
        if readable:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            buffer[0] += chunk.replace(b"\r\n", b"\n")
    return None


def open_stream(port):
    """(socket, response head, [what followed it]) of a GET /api/events."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
    received = b""
    deadline = time.monotonic() + 5
    while b"\r\n\r\n" not in received and time.monotonic() < deadline:
        readable, _, _ = select.select([sock], [], [], 0.5)
        if readable:
            chunk = sock.recv(65536)
            if not chunk:
                break
            received += chunk
    head, _, rest = received.partition(b"\r\n\r\n")
    return sock, head, [rest.replace(b"\r\n", b"\n")]


def check_events(nginx_port, program_port):
    sock, head, buffer = open_stream(nginx_port)
    with sock:
        if not check(head.startswith(b"HTTP/1.1 200") and b"text/event-stream" in head, "/api/events opens a stream"):
            return
        first = read_event(sock, buffer, time.monotonic() + 5)
        check(first is not None and b"channel_index" in first, "the stream starts with the current info")
        before = json.loads(first.decode("utf-8")).get("channel_index") if first else 0
        target = 2 if before != 2 else 0
        changed = time.monotonic()
        switch_channel(program_port, target)
        got = None
        while got is None and time.monotonic() < changed + 5:
            data = read_event(sock, buffer, changed + 5)
            if data is None:
                break
            try:
                if json.loads(data.decode("utf-8")).get("channel_index") == target:
                    got = time.monotonic() - changed
            except ValueError:
                pass
        print("a change reached the listener's stream in %s" % ("%.3f s" % got if got is not None else "more than 5 s"))
        check(got is not None and got < SSE_SECONDS, "a change comes through nginx within %.0f s" % SSE_SECONDS)

        # The test's copy of the site lets EVENT_CAP streams through at once.
        more = [open_stream(nginx_port) for _ in range(EVENT_CAP)]
        try:
            heads = [h.split(b"\r\n", 1)[0] for _, h, _ in more]
            check(all(h.startswith(b"HTTP/1.1 200") for h in heads[:-1]) and heads[-1].startswith(b"HTTP/1.1 503"),
                  "streams over the cap are refused %s" % heads)
        finally:
            for s, _, _ in more:
                s.close()


def run(site_text, program, tmp, nginx):
    program_port = free_port()
    # As the recipe says: the program listens on the loopback address only.
    folder = ProgramFolder(program, program_port, extra={"listen_address": "127.0.0.1"}, parent=tmp)
    relay = CountingRelay(program_port)
    nginx_port = free_port()
    site = os.path.join(tmp, "site.conf")
    with open(site, "w", encoding="utf-8") as f:
        f.write(site_copy(site_text, tmp, nginx_port, relay.port))
    conf = os.path.join(tmp, "nginx.conf")
    with open(conf, "w", encoding="utf-8") as f:
        f.write(main_config(tmp, site))
    command = [nginx, "-p", tmp, "-c", conf, "-e", os.path.join(tmp, "error.log")]
    checked = subprocess.run(command + ["-t"], capture_output=True, text=True, timeout=20)
    if not check(checked.returncode == 0, "nginx accepts the site"):
        print(checked.stdout + checked.stderr)
        return
    runner = NativeProgram(program)
    proc = server = None
    try:
        proc = runner.start(folder)
        server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        base = "http://127.0.0.1:%d" % nginx_port
        if not check(wait_for(lambda: http_get(base + "/api/info", timeout=2)[0] == 200, 15),
                     "the program answers through nginx"):
            return
        for route in ("/", "/index.html", "/api/info", "/api/channels", "/api/nowplaying", "/api/history",
                      "/api/history?limit=5", "/api/history.csv"):
            status, _ = http_get(base + route)
            check(status == 200, "%s is served" % route)
        # Another address of this machine does not reach the program (Linux answers every
        # 127/8 address on the loopback interface).
        check(http_get("http://127.0.0.2:%d/api/info" % program_port, timeout=2)[0] == 0,
              "the program is not reachable at another address of the machine")
        status, _ = http_get(base + "/image")
        check(status in (200, 404), "/image is passed on (%d)" % status)
        since = time.monotonic()
        for route in ("/stop", "/api/channel?index=1", "/api/images_toggle?enabled=false", "/api/nothing"):
            status, _ = http_get(base + route)
            check(status in (403, 404), "%s is refused (%d)" % (route, status))
        leaked = [target for _, target in relay.seen(since)]
        check(not leaked and proc.poll() is None, "no refused route reached the program %s" % leaked)

        check_load(nginx_port, relay)
        check_nowplaying_and_history(nginx_port, relay)

        # The one-second cache never holds a change longer than about two seconds (whole seconds).
        check(switch_channel(program_port, 1), "the channel switches at the program")
        check(wait_for(lambda: channel_through(nginx_port) == 1, 5, 0.05), "the switch shows through nginx")

        check_events(nginx_port, program_port)
    finally:
        if server is not None:
            server.terminate()
            try:
                server.wait(timeout=5)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait(timeout=5)
        if proc is not None:
            runner.terminate(proc)
            check(runner.finish(proc) == 0, "the program ends cleanly")
            report = runner.sanitizer_report(folder)
            check(not report, "the program ran without a sanitizer report")
            if report:
                print(report)
        relay.close()
        if failures:
            for name in ("error.log", "access.log"):
                try:
                    with open(os.path.join(tmp, name), encoding="utf-8", errors="replace") as f:
                        print("nginx %s (end):\n%s" % (name, f.read()[-3000:]))
                except OSError:
                    pass


def main():
    site, program = sys.argv[1], sys.argv[2]
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else None)
    if nginx is None:
        print("nginx not installed: skipped")
        sys.exit(77)
    with open(site, encoding="utf-8") as f:
        site_text = f.read()
    tmp = tempfile.mkdtemp(prefix="tovrel-nginx-")
    try:
        run(site_text, program, tmp, nginx)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        sys.exit("%d check(s) failed" % len(failures))
    print("nginx site verified")


if __name__ == "__main__":
    main()
