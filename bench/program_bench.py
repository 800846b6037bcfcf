#!/usr/bin/env python3
"""Measures the native program as a user meets it, against the station simulator on loopback:

- the time from a title change at the station to /api/info reporting it, and to the first
  picture of the new title being served by /image;
- peak resident memory and CPU time over a demo-like run (titles changing every 20 to 30 s,
  pictures rotating, a browser-like client polling /api/info every 5 s and loading each new
  picture), and the CPU used while idle between polls.

Usage: program_bench.py <tovrel-radio executable> [--seconds N] [--changes N]
"""
import argparse
import base64
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools", "station_simulator"))
import pictures  # noqa: E402

OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))
CLK = os.sysconf("SC_CLK_TCK")


def get(url, timeout=5):
    try:
        with OPENER.open(url, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, b""
    except OSError:
        return 0, b""


def post(url, obj):
    req = urllib.request.Request(url, data=json.dumps(obj).encode(), method="POST")
    with OPENER.open(req, timeout=5) as r:
        return r.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--seconds", type=int, default=int(os.environ.get("BENCH_SECONDS", "300")))
    ap.add_argument("--changes", type=int, default=8)
    args = ap.parse_args()

    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    procs = []
    with tempfile.TemporaryDirectory() as tmp:
        try:
            port_file = os.path.join(tmp, "sim-port")
            procs.append(subprocess.Popen([sys.executable, os.path.join(ROOT, "tools/station_simulator/simulator.py"),
                                           "--port", "0", "--port-file", port_file], env=env,
                                          stdout=subprocess.DEVNULL))
            for _ in range(100):
                if os.path.exists(port_file):
                    break
                time.sleep(0.1)
            sim = "http://127.0.0.1:" + open(port_file).read().strip()
            urls = []
            for n in range(4):
                pic = pictures.png(200, 200, (60 * n, 90, 200 - 40 * n), seed=n)
                post(sim + "/_sim/set", {"path": f"/pic/{n}.png", "body_b64": base64.b64encode(pic).decode(),
                                         "content_type": "image/png"})
                urls.append(f"{sim}/pic/{n}.png")
            page = "".join(f'<a m="{{&quot;murl&quot;:&quot;{u}&quot;}}">' for u in urls)
            post(sim + "/_sim/set", {"path": "/search", "body": page, "content_type": "text/html"})
            post(sim + "/_sim/set", {"path": "/np/one.txt", "body": "Bench Artist - First Song"})

            port = free_port()
            folder = os.path.join(tmp, "monitor")
            os.makedirs(folder)
            shutil.copy(args.exe, folder)
            with open(os.path.join(folder, "config.json"), "w", newline="") as f:
                f.write('{\r\n  "rotate_interval_seconds": 20,\r\n' f'  "port": {port},\r\n'
                        '  "last_channel": "one",\r\n  "show_images": true,\r\n'
                        '  "window_width": 500,\r\n  "window_height": 640,\r\n'
                        f'  "status_url": "{sim}/status-json.xsl",\r\n  "image_search_url": "{sim}/search",\r\n'
                        '  "cover_sources": ["image_search"],\r\n'
                        f'  "itunes_url": "{sim}/itunes/search",\r\n  "deezer_url": "{sim}/deezer/search",\r\n'
                        f'  "musicbrainz_url": "{sim}/musicbrainz/ws/2/recording",\r\n'
                        f'  "coverartarchive_url": "{sim}/caa",\r\n'
                        '  "channels": [\r\n    {\r\n      "id": "one",\r\n      "name": "One",\r\n'
                        f'      "endpoint": "{sim}/np/one.txt"\r\n    }}\r\n  ]\r\n}}\r\n')
            prog = subprocess.Popen([os.path.join(folder, os.path.basename(args.exe))], cwd=folder, env=env,
                                    stdout=subprocess.DEVNULL)
            procs.append(prog)
            base = f"http://127.0.0.1:{port}"
            for _ in range(100):
                if get(base + "/api/info", 1)[0] == 200:
                    break
                time.sleep(0.1)

            # Latency of a title change, to /api/info and to the first new picture.
            to_info, to_picture = [], []
            for k in range(args.changes):
                time.sleep(random.uniform(0, 5))  # land at a random point of the refresh cycle
                title = f"Bench Artist - Song {k} {random.randint(0, 1 << 30)}"
                start = time.monotonic()
                post(sim + "/_sim/set", {"path": "/np/one.txt", "body": title})
                seen_info = None
                while time.monotonic() - start < 20:
                    status, body = get(base + "/api/info", 2)
                    info = json.loads(body) if status == 200 else {}
                    if info.get("track") == title:
                        if seen_info is None:
                            seen_info = time.monotonic() - start
                        if info.get("has_image") and get(base + "/image", 2)[0] == 200:
                            to_picture.append(time.monotonic() - start)
                            break
                    time.sleep(0.02)
                if seen_info is not None:
                    to_info.append(seen_info)

            def summary(xs):
                if not xs:
                    return "no samples"
                return (f"median {statistics.median(xs) * 1000:.0f} ms, max {max(xs) * 1000:.0f} ms "
                        f"({len(xs)} changes)")

            print(f"title change -> /api/info:      {summary(to_info)}")
            print(f"title change -> first picture:  {summary(to_picture)}")

            # Idle: only the program's own polls of the station (no title change, no client).
            c0, t0 = cpu_seconds(prog.pid), time.monotonic()
            time.sleep(30)
            idle = (cpu_seconds(prog.pid) - c0) / (time.monotonic() - t0)
            print(f"idle CPU between polls:         {idle * 100:.3f} % of one core")

            # Demo-like run.
            c0, t0 = cpu_seconds(prog.pid), time.monotonic()
            next_change = t0
            last_id = None
            k = 0
            while time.monotonic() - t0 < args.seconds:
                now = time.monotonic()
                if now >= next_change:
                    k += 1
                    post(sim + "/_sim/set", {"path": "/np/one.txt", "body": f"Demo Artist - Track {k}"})
                    next_change = now + random.uniform(20, 30)
                status, body = get(base + "/api/info", 2)
                if status == 200:
                    info = json.loads(body)
                    if info.get("has_image") and info.get("image_id") != last_id:
                        last_id = info.get("image_id")
                        get(base + f"/image?t={int(now * 1000)}", 2)
                time.sleep(5)
            elapsed = time.monotonic() - t0
            cpu = cpu_seconds(prog.pid) - c0
            print(f"demo run of {elapsed:.0f} s:             CPU {cpu:.2f} s ({cpu / elapsed * 100:.3f} % of one core), "
                  f"peak RSS {peak_rss_kib(prog.pid) / 1024:.1f} MiB, {k} title changes")
            get(base + "/stop", 2)
            prog.wait(timeout=10)
        finally:
            for p in reversed(procs):
                if p.poll() is None:
                    p.terminate()
                    try:
                        p.wait(timeout=5)
                    except subprocess.TimeoutExpired:
                        p.kill()


if __name__ == "__main__":
    main()
