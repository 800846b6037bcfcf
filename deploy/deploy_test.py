#!/usr/bin/env python3
"""Checks the example systemd unit with systemd's own verifier, against the built program.

The unit names /opt/tovrel-radio; a copy pointing at a temporary folder that holds the built
program is verified, so a typo in a key, a bad value or a wrong program name fails the test.
Exits 77 (skipped) where systemd-analyze is not installed.
Usage: deploy_test.py <unit file> <built tovrel-radio>
"""
import os
import shutil
import subprocess
import sys
import tempfile

unit, program = sys.argv[1], sys.argv[2]
if shutil.which("systemd-analyze") is None:
    print("systemd-analyze not installed: skipped")
    sys.exit(77)
with open(unit, encoding="utf-8") as f:
    text = f.read()
with tempfile.TemporaryDirectory() as tmp:
    folder = os.path.join(tmp, "opt", "tovrel-radio")
    os.makedirs(folder)
    shutil.copy(program, os.path.join(folder, "tovrel-radio"))
    copy = os.path.join(tmp, "tovrel-radio.service")
    with open(copy, "w", encoding="utf-8") as f:
        f.write(text.replace("/opt/tovrel-radio", folder))
    result = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True, text=True, timeout=60)
complaints = (result.stdout + result.stderr).strip()
if result.returncode != 0 or complaints:
    sys.exit("systemd-analyze verify: exit %d\n%s" % (result.returncode, complaints))
if "ExecStart=/opt/tovrel-radio/tovrel-radio\n" not in text or "ReadWritePaths=/opt/tovrel-radio\n" not in text:
    sys.exit("the unit must start the program from the folder it may write (config.json lies beside it)")
limits = [line.split("=", 1)[1].strip() for line in text.splitlines() if line.startswith("LimitNOFILE=")]
if len(limits) != 1 or not limits[0].isdigit() or int(limits[0]) < 2048:
    # 1,024 connections and the rest of the program: systemd's default soft limit is 1,024.
    sys.exit("the unit must allow the program at least 2048 open files (LimitNOFILE=): %r" % limits)
print("unit verified")
