#!/usr/bin/env python3
"""Starts the native monitor in a temporary folder against the station simulator (run this
under tools/station_simulator/with_simulator.py), then drives its page in headless Chromium
(page_test.mjs). Screenshots go to the artefact folder.

Usage: run_browser_test.py <monitor executable> <artefact folder>
"""
import base64
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
sys.path.insert(0, os.path.join(ROOT, "tools", "station_simulator"))
import pictures  # noqa: E402
from program_common import CHANNELS, SIM, api_info, free_port, sim_post, wait_for  # noqa: E402
from program_runners import NativeProgram  # noqa: E402


def node_folder(artefacts):
    """playwright-core installed once per build tree, from the lock file."""
    folder = os.path.join(os.path.dirname(artefacts), "browser-node")
    os.makedirs(folder, exist_ok=True)
    for f in ("package.json", "package-lock.json", "page_test.mjs"):
        shutil.copy(os.path.join(HERE, f), folder)
    if not os.path.isdir(os.path.join(folder, "node_modules", "playwright-core")):
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--silent"], cwd=folder, check=True, timeout=600)
    return folder


def main():
    exe, artefacts = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(artefacts, exist_ok=True)
    node = node_folder(artefacts)

    # Scripted answers win over the simulator's own station and image search.
    np_paths = ["/nowplaying/%s" % i for i, _ in CHANNELS]
    for k, path in enumerate(np_paths):
        sim_post("/_sim/set", {"path": path, "body": "Artist %d - Song %d" % (k, k)})
    urls = []
    for n, rgb in enumerate([(200, 40, 40), (40, 200, 40), (40, 40, 200)]):
        png = pictures.png(96, 96, rgb, seed=n)
        sim_post("/_sim/set", {"path": "/pic/%d.png" % n, "body_b64": base64.b64encode(png).decode(),
                               "content_type": "image/png"})
        urls.append("%s/pic/%d.png" % (SIM, n))
    page = "".join('<a m="{&quot;murl&quot;:&quot;%s&quot;}">' % u for u in urls)
    sim_post("/_sim/set", {"path": "/images/async", "body": page, "content_type": "text/html"})

    program = NativeProgram(exe)
    folder = program.folder(free_port(), extra={"rotate_interval_seconds": 3})
    proc = program.start(folder)
    try:
        if not wait_for(lambda: api_info(folder.port), program.start_seconds):
            print("the monitor did not answer")
            return 1
        env = dict(os.environ, MONITOR_URL="http://127.0.0.1:%d" % folder.port, SIM_URL=SIM,
                   NP_PATHS=json.dumps(np_paths), SHOT_DIR=artefacts)
        rc = subprocess.run(["node", "page_test.mjs"], cwd=node, env=env, timeout=240).returncode
        if rc != 0:
            return rc
        code = program.finish(proc)
        if code != 0:
            print("the monitor ended with %s after /stop" % code)
            return 1
        return 0
    finally:
        if proc.poll() is None:
            program.kill(proc)
        folder.remove()


if __name__ == "__main__":
    sys.exit(main())
