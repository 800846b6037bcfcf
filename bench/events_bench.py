#!/usr/bin/env python3
"""The server beside many clients: the p99 of a normal request while 100 clients hold connections
open without a request or without reading, how long a change takes to reach 896 subscribers of
/api/events (the streams' share of the 1,024 connections), the server's CPU time while they sit
idle, and its memory per subscriber.
Runs bench_server (Linux) on loopback; standard library only."""
import argparse
import os
import selectors
import socket
import subprocess
import sys
import time

SUBSCRIBERS = 896  # 7/8 of the server's 1,024 connections: the most that may be streams

def start_server(binary):
    proc = subprocess.Popen([binary, "--seconds", "600"], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("port "):
        proc.kill()
        sys.exit("bench_server did not start")
    return proc, int(line.split()[1])


def get(port, target, timeout=5.0):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        out = b""
        while chunk := s.recv(65536):
            out += chunk
    return out


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def subscribe(port, count):
    subs = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        subs.append(s)
    for s in subs:  # the first event of each
        got = b""
        while b"}\n\n" not in got:
            got += s.recv(65536)
        s.setblocking(False)
    return subs


def stuck_clients_p99(port, seconds):
    stuck = []
    latencies = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        # Keep 50 silent and 50 non-reading clients open; the server drops each after 1 s.
        for s in stuck:
            s.close()
        stuck = []
        for i in range(100):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            if i % 2:
                s.sendall(b"GET /image HTTP/1.1\r\n\r\n")
            stuck.append(s)
        round_end = time.monotonic() + 0.9
        while time.monotonic() < round_end:
            t = time.perf_counter()
            get(port, "/api/info")
            latencies.append(time.perf_counter() - t)
    for s in stuck:
        s.close()
    latencies.sort()
    return latencies[len(latencies) // 2], latencies[int(len(latencies) * 0.99)], len(latencies)


def change_reach(port, subs):
    sel = selectors.DefaultSelector()
    for s in subs:
        sel.register(s, selectors.EVENT_READ)
    waiting = set(subs)
    start = time.perf_counter()
    get(port, "/api/images_toggle")  # flips images_enabled: the info object changes
    deadline = time.monotonic() + 10
    while waiting and time.monotonic() < deadline:
        for key, _ in sel.select(0.5):
            try:
                data = key.fileobj.recv(65536)
            except BlockingIOError:
                continue
            if b"event: info" in data:
                waiting.discard(key.fileobj)
    sel.close()
    return time.perf_counter() - start, len(subs) - len(waiting)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench_server")
    ap.add_argument("--seconds", type=float, default=5)
    args = ap.parse_args()
    proc, port = start_server(args.bench_server)
    try:
        p50, p99, n = stuck_clients_p99(port, args.seconds)
        print(f"/api/info beside 100 stuck clients: p50 {p50 * 1000:.2f} ms, p99 {p99 * 1000:.2f} ms ({n} requests)")
        time.sleep(1.2)  # the stuck ones are gone
        before = rss_kib(proc.pid)
        subs = subscribe(port, SUBSCRIBERS)
        after = rss_kib(proc.pid)
        print(f"memory per subscriber: {(after - before) * 1024 / SUBSCRIBERS:.0f} bytes (RSS {before} -> {after} KiB)")
        for _ in range(3):
            took, reached = change_reach(port, subs)
            print(f"a change reached {reached} subscribers in {took * 1000:.1f} ms")
        cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(args.seconds)
        cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - t0)
        print(f"CPU with {SUBSCRIBERS} idle subscribers: {cpu * 100:.2f} % of one core")
        for s in subs:
            s.close()
    finally:
        proc.kill()
        proc.wait()


if __name__ == "__main__":
    main()
