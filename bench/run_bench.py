#!/usr/bin/env python3
"""Runs wrk against the web server and the reference server and prints the ratios.

For each platform (native; Windows under Wine) and each route, the exact response of the web
server is captured first and handed to the reference server as its fixed answer, so both send
the same bytes. Each point is measured with a new connection per request (Connection: close).
Before the Windows points, a Linux client (this script) checks the Windows server's answer.
"""
import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

ROUTES = ["/api/info", "/api/nowplaying", "/image"]
CONNECTIONS = [1, 8, 64]
REPEATS = 3


def raw_get(port, target, timeout=5.0):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    return b"".join(chunks)


class Server:
    """A server process that prints "port <n>" first; stopped by its own process id."""

    def __init__(self, cmd, env=None):
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL, env=env, text=True)
        line = self.proc.stdout.readline()  # Wine may take a few seconds to start the .exe
        m = re.match(r"port (\d+)", line or "")
        if not m:
            self.stop()
            raise RuntimeError(f"{cmd[0]} did not start: {line!r}")
        self.port = int(m.group(1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)


def to_us(value):
    m = re.match(r"([\d.]+)(us|ms|s)", value)
    scale = {"us": 1.0, "ms": 1000.0, "s": 1e6}[m.group(2)]
    return float(m.group(1)) * scale


def run_wrk(port, route, conns, seconds):
    threads = min(conns, 2)
    cmd = ["wrk", f"-t{threads}", f"-c{conns}", f"-d{seconds}s", "--latency", "--timeout", "5s",
           "-H", "Connection: close", f"http://127.0.0.1:{port}{route}"]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = to_us(re.search(r"\s50%\s+(\S+)", out).group(1))
    p99 = to_us(re.search(r"\s99%\s+(\S+)", out).group(1))
    errors = 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if m:
        errors += sum(int(x) for x in m.groups())
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if m:
        errors += int(m.group(1))
    return {"rps": rps, "p50": p50, "p99": p99, "errors": errors}


def median_of(runs):
    out = {}
    for key in ("rps", "p50", "p99"):
        values = sorted(r[key] for r in runs)
        out[key] = values[len(values) // 2]
    out["errors"] = sum(r["errors"] for r in runs)
    return out


def check_from_linux(port):
    """A Linux client reading the (possibly Windows) server: the info object and the picture."""
    info = raw_get(port, "/api/info")
    head, _, body = info.partition(b"\r\n\r\n")
    obj = json.loads(body.decode("utf-8"))
    assert obj["has_image"] is True and obj["channel_index"] == 3, obj
    assert f"Content-Length: {len(body)}".encode() in head
    image = raw_get(port, "/image")
    head, _, body = image.partition(b"\r\n\r\n")
    assert b"Content-Type: image/jpeg" in head and len(body) == 100 * 1024, head
    channels = json.loads(raw_get(port, "/api/channels").partition(b"\r\n\r\n")[2].decode("utf-8"))
    assert len(channels) == 32, len(channels)


def bench_platform(name, server_cmd, reference_cmd, path_for, env, seconds, results):
    server = Server(server_cmd, env)
    try:
        check_from_linux(server.port)
        print(f"{name}: a Linux client reads the server's info, picture and channel list: ok", flush=True)
        for route in ROUTES:
            answer = raw_get(server.port, route)
            with tempfile.NamedTemporaryFile(prefix="tovrel-bench-", suffix=".http", delete=False) as f:
                f.write(answer)
                answer_file = f.name
            reference = Server(reference_cmd + ["--answer-file", path_for(answer_file)], env)
            try:
                for conns in CONNECTIONS:
                    # Alternating runs, medians: the machine's other load drifts over a run.
                    refs, owns = [], []
                    for _ in range(REPEATS):
                        refs.append(run_wrk(reference.port, route, conns, seconds))
                        owns.append(run_wrk(server.port, route, conns, seconds))
                    results.append((name, route, conns, median_of(owns), median_of(refs)))
                    report(results[-1])
            finally:
                reference.stop()
                os.unlink(answer_file)
    finally:
        server.stop()


def report(row):
    name, route, conns, own, ref = row
    rps_ratio = own["rps"] / ref["rps"] if ref["rps"] else 0.0
    p50_ratio = own["p50"] / ref["p50"] if ref["p50"] else 0.0
    p99_ratio = own["p99"] / ref["p99"] if ref["p99"] else 0.0
    ok = rps_ratio >= 0.9 and p99_ratio <= 2.0 and own["errors"] == 0
    print(f"{name:8} {route:10} c={conns:<3} req/s {own['rps']:9.0f} (ref {ref['rps']:9.0f}) x{rps_ratio:4.2f}  "
          f"p50 {own['p50']:8.0f}us x{p50_ratio:4.2f}  p99 {own['p99']:8.0f}us x{p99_ratio:4.2f}  "
          f"errors {own['errors']} (ref {ref['errors']})  {'ok' if ok else 'BELOW TARGET'}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--windows")
    parser.add_argument("--seconds", type=int, default=2)
    parser.add_argument("--skip-native", action="store_true")
    args = parser.parse_args()
    args.native = os.path.abspath(args.native)
    if args.windows:
        args.windows = os.path.abspath(args.windows)
    results = []
    if not args.skip_native:
        bench_platform("native", [os.path.join(args.native, "bench_server")],
                       [os.path.join(args.native, "bench_reference_server")], lambda p: p, None, args.seconds,
                       results)
    if args.windows:
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        # A Wine prefix of the benchmarks' own, so that stopping its wineserver below never ends
        # the one of a test run going on beside.
        home = os.path.join(args.windows, "bench")
        os.makedirs(home, exist_ok=True)
        subprocess.run([os.path.join(root, "scripts", "wine-prefix.sh"), home], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                   WINEARCH="win64", WINEPREFIX=os.path.join(home, "wineprefix"))
        # A persistent wineserver for this prefix, stopped on every path.
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            bench_platform("windows", ["wine", os.path.join(args.windows, "bench_server.exe")],
                           ["wine", os.path.join(args.windows, "bench_reference_server.exe")],
                           lambda p: "Z:" + p.replace("/", "\\"), env, args.seconds, results)
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # /api/nowplaying carries every channel (32 here, some 7 KB): its rate beside /api/info's.
    rates = {(r[0], r[1], r[2]): r[3]["rps"] for r in results}
    for (name, route, conns), rps in sorted(rates.items()):
        info = rates.get((name, "/api/info", conns))
        if route == "/api/nowplaying" and info:
            ratio = rps / info
            print(f"{name:8} /api/nowplaying beside /api/info c={conns:<3} x{ratio:4.2f}  "
                  f"{'ok' if ratio >= 0.9 else 'BELOW TARGET'} (target >= 0.9)", flush=True)
    below = [r for r in results
             if not (r[4]["rps"] and r[3]["rps"] / r[4]["rps"] >= 0.9 and r[3]["p99"] <= 2 * r[4]["p99"]
                     and r[3]["errors"] == 0)]
    print(f"{len(results) - len(below)} of {len(results)} points meet the target "
          "(>= 0.9 of the reference's requests per second, p99 <= 2x, no errors)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
