#!/usr/bin/env python3
"""The stored history's export beside the page's traffic: bench_server (100,000 plays held in
memory, handed out as a store would) is asked for /api/history.csv over and over on one
connection at a time, while wrk asks for /api/info at 8 connections. Prints /api/info's p50 and
p99 meanwhile (target p99 under 50 ms), the same without the export, and the export's own time
and size; then a queried page of the history (limit 50) alone.
Usage: history_bench.py <bench_server> [--seconds N]
"""
import argparse
import re
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, __import__("os").path.dirname(__import__("os").path.abspath(__file__)))
from run_bench import Server, run_wrk  # noqa: E402


def fetch(port, target, timeout=60.0):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        chunks = []
        while True:
            data = s.recv(1 << 20)
            if not data:
                break
            chunks.append(data)
    return b"".join(chunks)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()
    server = Server([args.server])
    try:
        first = fetch(server.port, "/api/history.csv")
        head, _, body = first.partition(b"\r\n\r\n")
        rows = body.count(b"\r\n") - 1
        assert head.startswith(b"HTTP/1.1 200 OK") and rows == 100000, (head[:80], rows)
        quiet = run_wrk(server.port, "/api/info", 8, args.seconds)

        stop = threading.Event()
        times = []

        def export():
            while not stop.is_set():
                start = time.monotonic()
                answer = fetch(server.port, "/api/history.csv")
                if answer.startswith(b"HTTP/1.1 200 OK"):
                    times.append(time.monotonic() - start)

        t = threading.Thread(target=export)
        t.start()
        busy = run_wrk(server.port, "/api/info", 8, args.seconds)
        stop.set()
        t.join()

        page_times = []
        for _ in range(200):
            start = time.monotonic()
            fetch(server.port, "/api/history?channel=channel-7&limit=50")
            page_times.append((time.monotonic() - start) * 1000)
        page_times.sort()

        times.sort()
        ok = busy["p99"] < 50000 and busy["errors"] == 0
        print(f"export of 100,000 plays ({len(body) / 1e6:.1f} MB): {len(times)} made in {args.seconds} s, "
              f"median {times[len(times) // 2] * 1000:.0f} ms each" if times else "no export finished")
        print(f"/api/info at c=8 without the export: p50 {quiet['p50'] / 1000:.2f} ms, p99 {quiet['p99'] / 1000:.2f} ms, "
              f"{quiet['rps']:.0f} req/s")
        print(f"/api/info at c=8 beside the exports: p50 {busy['p50'] / 1000:.2f} ms, p99 {busy['p99'] / 1000:.2f} ms, "
              f"{busy['rps']:.0f} req/s, errors {busy['errors']}  {'ok' if ok else 'BELOW TARGET'} (p99 < 50 ms)")
        print(f"/api/history?channel=...&limit=50 alone: p50 {page_times[100]:.2f} ms, p99 {page_times[198]:.2f} ms")
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
