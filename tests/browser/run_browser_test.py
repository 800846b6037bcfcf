#!/usr/bin/env python3
"""Starts the station simulator and the native monitor in a temporary folder, then drives the
monitor's page in headless Chromium (page_test.mjs). Screenshots go to <build>/artefacts/browser.

Usage: run_browser_test.py <monitor executable> <artefact folder>
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "station_simulator"))
import pictures  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(url, data=None, timeout=5):
    with urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=timeout) as r:
        return r.status, r.read()


def sim_set(sim, spec):
    status, body = http(sim + "/_sim/set", json.dumps(spec).encode())
    assert body == b"ok", body


def main():
    exe, artefacts = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(artefacts, exist_ok=True)
    node_dir = os.path.join(os.path.dirname(artefacts), "browser-node")
    os.makedirs(node_dir, exist_ok=True)
    for f in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(HERE, f), node_dir)
    if not os.path.isdir(os.path.join(node_dir, "node_modules", "playwright-core")):
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--silent"], cwd=node_dir, check=True, timeout=600)
    shutil.copy(os.path.join(HERE, "page_test.mjs"), node_dir)

    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["no_proxy"] = "127.0.0.1,localhost"
    procs = []
    with tempfile.TemporaryDirectory() as tmp:
        try:
            port_file = os.path.join(tmp, "sim-port")
            procs.append(subprocess.Popen([sys.executable, os.path.join(ROOT, "tools/station_simulator/simulator.py"),
                                           "--port", "0", "--port-file", port_file], env=env,
                                          stdout=subprocess.DEVNULL))
            deadline = time.time() + 10
            while not os.path.exists(port_file) and time.time() < deadline:
                time.sleep(0.05)
            sim = "http://127.0.0.1:" + open(port_file).read().strip()

            ids = ["alpha", "beta", "gamma"]
            np_paths = [f"/np/{i}.txt" for i in ids]
            for i, p in enumerate(np_paths):
                sim_set(sim, {"path": p, "body": f"Artist {i} - Song {i}"})
            pics = []
            for n, rgb in enumerate([(200, 40, 40), (40, 200, 40), (40, 40, 200)]):
                path = f"/pic/{n}.png"
                import base64
                sim_set(sim, {"path": path, "body_b64": base64.b64encode(pictures.png(96, 96, rgb, seed=n)).decode(),
                              "content_type": "image/png"})
                pics.append(sim + path)
            page = "".join(f'<a m="{{&quot;murl&quot;:&quot;{u}&quot;}}">' for u in pics)
            sim_set(sim, {"path": "/images/async", "body": page, "content_type": "text/html"})

            port = free_port()
            folder = os.path.join(tmp, "monitor")
            os.makedirs(folder)
            shutil.copy(exe, folder)
            channels = ",\r\n".join(
                f'    {{\r\n      "id": "{i}",\r\n      "name": "Channel {i.title()}",\r\n'
                f'      "endpoint": "{sim}{p}"\r\n    }}' for i, p in zip(ids, np_paths))
            config = ('{\r\n  "rotate_interval_seconds": 3,\r\n' f'  "port": {port},\r\n'
                      '  "last_channel": "alpha",\r\n  "show_images": true,\r\n'
                      '  "window_width": 500,\r\n  "window_height": 640,\r\n'
                      f'  "status_url": "{sim}/status-json.xsl",\r\n'
                      f'  "image_search_url": "{sim}/images/async",\r\n'
                      f'  "channels": [\r\n{channels}\r\n  ]\r\n}}\r\n')
            with open(os.path.join(folder, "config.json"), "w", newline="") as f:
                f.write(config)
            monitor = subprocess.Popen([os.path.join(folder, os.path.basename(exe))], cwd=folder, env=env,
                                       stdout=subprocess.DEVNULL)
            procs.append(monitor)
            base = f"http://127.0.0.1:{port}"
            deadline = time.time() + 15
            while time.time() < deadline:
                try:
                    http(base + "/api/info", timeout=1)
                    break
                except OSError:
                    time.sleep(0.1)
            node_env = dict(env, MONITOR_URL=base, SIM_URL=sim, NP_PATHS=json.dumps(np_paths), SHOT_DIR=artefacts)
            rc = subprocess.run(["node", "page_test.mjs"], cwd=node_dir, env=node_env, timeout=240).returncode
            if rc == 0:
                try:
                    code = monitor.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    print("the monitor did not end after /stop")
                    return 1
                if code != 0:
                    print(f"the monitor ended with exit code {code} after /stop")
                    return 1
            return rc
        finally:
            for p in reversed(procs):
                if p.poll() is None:
                    p.terminate()
                    try:
                        p.wait(timeout=5)
                    except subprocess.TimeoutExpired:
                        p.kill()


if __name__ == "__main__":
    sys.exit(main())
