#!/usr/bin/env python3
"""Runs a command with the station simulator listening on a free loopback port.

Usage: with_simulator.py -- <command> [args...]

The command sees TOVREL_SIM_PORT (the simulator's port on 127.0.0.1). Proxy variables are
cleared so that loopback traffic never goes through a proxy. The simulator is stopped when the
command ends, and the command's exit code is returned.
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    args = sys.argv[1:]
    if args and args[0] == "--":
        args = args[1:]
    if not args:
        print("usage: with_simulator.py -- command [args...]", file=sys.stderr)
        return 2
    env = dict(os.environ)
    for var in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(var, None)
    env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1,localhost"

    sim = None
    simulator = os.path.join(HERE, "simulator.py")
    if os.path.exists(simulator):
        with tempfile.TemporaryDirectory() as tmp:
            port_file = os.path.join(tmp, "port")
            sim = subprocess.Popen([sys.executable, simulator, "--host", "127.0.0.1", "--port", "0",
                                    "--port-file", port_file], env=env, stdin=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not os.path.exists(port_file):
                if sim.poll() is not None:
                    print("station simulator failed to start", file=sys.stderr)
                    return 1
                time.sleep(0.02)
            time.sleep(0.02)
            with open(port_file) as f:
                env["TOVREL_SIM_PORT"] = f.read().strip()
    try:
        return subprocess.call(args, env=env, stdin=subprocess.DEVNULL)
    finally:
        if sim is not None:
            sim.terminate()
            try:
                sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                sim.kill()


if __name__ == "__main__":
    sys.exit(main())
