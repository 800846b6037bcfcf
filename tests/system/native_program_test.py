#!/usr/bin/env python3
"""The native program as a whole, against the station simulator: start-up with a config.json,
the web API, following title changes, a channel change, and the ends through /stop, SIGTERM and
a port that is already taken.

Usage: native_program_test.py <path to tovrel-radio>   (run under with_simulator.py)
"""
import json
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program_common import (ProgramFolder, SIM_PORT, api_info, free_port, http_get,  # noqa: E402
                            set_title, wait_for)

FAILURES = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        FAILURES.append(what)


def start(folder):
    env = dict(os.environ)
    return subprocess.Popen([folder.exe], cwd=folder.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)


def finish(proc, seconds=15):
    try:
        out, err = proc.communicate(timeout=seconds)
        return proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return None, out.decode(errors="replace"), err.decode(errors="replace")


def test_run_follow_and_stop(program):
    port = free_port()
    folder = ProgramFolder(program, port, {"nowplaying_file": "np.txt", "cover_file": "out/cover.img"})
    os.mkdir(os.path.join(folder.dir, "out"))
    set_title("one", "Artist - First Song")
    set_title("two", "Other - Song Two")
    proc = start(folder)
    try:
        first = proc.stdout.readline().decode().strip()
        check(first.endswith("http://127.0.0.1:%d/" % port), "prints the page URL: %r" % first)
        info = wait_for(lambda: (lambda i: i if i and i.get("track") == "Artist - First Song" else None)(api_info(port)), 10)
        check(info is not None, "/api/info answers with the first title")
        if info:
            check(info.get("channel_index") == 0, "channel 0 on show")

        set_title("one", "Artist - Second Song")
        info = wait_for(lambda: (lambda i: i if i and i.get("track") == "Artist - Second Song" else None)(api_info(port)), 12)
        check(info is not None, "follows a title change at the station within two refreshes")
        np_file = os.path.join(folder.dir, "np.txt")
        check(wait_for(lambda: open(np_file, "rb").read() == b"Artist - Second Song", 5),
              "the title file beside the program follows the title")
        check(wait_for(lambda: os.path.exists(os.path.join(folder.dir, "out", "cover.img")), 15),
              "the picture on show is written to the cover file")
        status, body = http_get("http://127.0.0.1:%d/api/history" % port)
        history = json.loads(body) if status == 200 else []
        check([(h["channel_id"], h["title"]) for h in history[:2]] ==
              [("one", "Artist - Second Song"), ("one", "Artist - First Song")], "/api/history: %r" % history[:2])

        status, _ = http_get("http://127.0.0.1:%d/api/channel?index=1" % port)
        check(status == 200, "/api/channel answers")
        info = wait_for(lambda: (lambda i: i if i and i.get("channel_index") == 1 and
                                 i.get("track") == "Other - Song Two" else None)(api_info(port)), 10)
        check(info is not None, "switches channel and fetches its title at once")
        check(wait_for(lambda: '"last_channel": "two"' in folder.config_text(), 5), "channel change saved")

        status, _ = http_get("http://127.0.0.1:%d/stop" % port)
        check(status == 200, "/stop answers")
        code, _, err = finish(proc)
        check(code == 0, "/stop ends the program with exit code 0 (got %r) %s" % (code, err[-2000:]))
        cfg = json.loads(folder.config_text())
        check(cfg.get("last_channel") == "two" and cfg.get("port") == port and
              cfg.get("status_url", "").startswith("http://127.0.0.1:"), "settings saved whole at the end")
        check(http_get("http://127.0.0.1:%d/api/info" % port, timeout=1)[0] == 0, "nothing answers after the end")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        folder.remove()


def test_missing_config_is_created(program):
    # The defaults name port 7555, which may be taken on this machine: either way the file is
    # written first, and the run is ended at once.
    folder = ProgramFolder(program, 0, write_config=False)
    proc = start(folder)
    try:
        check(wait_for(lambda: os.path.exists(folder.config_path), 10), "config.json created when missing")
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        code, _, _ = finish(proc)
        check(code in (0, 1), "ends after SIGTERM (got %r)" % code)
        cfg = json.loads(folder.config_text())
        check(cfg.get("port") == 7555 and cfg.get("rotate_interval_seconds") == 20 and len(cfg.get("channels", [])) > 0,
              "with the defaults")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        folder.remove()


def test_signals(program):
    for sig in (signal.SIGTERM, signal.SIGINT):
        port = free_port()
        folder = ProgramFolder(program, port)
        proc = start(folder)
        try:
            check(wait_for(lambda: api_info(port), 10) is not None, "answers before %s" % sig.name)
            proc.send_signal(sig)
            code, _, err = finish(proc)
            check(code == 0, "%s ends the program with exit code 0 (got %r) %s" % (sig.name, code, err[-2000:]))
            cfg = json.loads(folder.config_text())
            check(cfg.get("port") == port and cfg.get("last_channel") == "one", "config.json intact after %s" % sig.name)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            folder.remove()


def test_station_that_never_answers(program):
    # The refresh runs on the loop's thread: a station that accepts and never answers holds it
    # only until a close is posted, which cancels the fetch under way.
    from program_common import sim_post
    port = free_port()
    folder = ProgramFolder(program, port)
    sim_post("/_sim/set", {"path": "/nowplaying/one", "hang": True})
    sim_post("/_sim/set", {"path": "/status-json.xsl", "hang": True})
    proc = start(folder)
    try:
        info = wait_for(lambda: api_info(port), 10)
        check(info is not None and info.get("track") == "Connecting...", "serves while the station hangs")
        started = time.monotonic()
        http_get("http://127.0.0.1:%d/stop" % port)
        code, _, err = finish(proc, 30)
        took = time.monotonic() - started
        check(code == 0 and took < 2.5, "/stop cancels the hanging fetch and ends it (%.1f s, code %r)" % (took, code))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        folder.remove()
        sim_post("/_sim/reset", {})


def test_taken_port(program):
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    folder = ProgramFolder(program, port)
    try:
        proc = start(folder)
        code, out, err = finish(proc)
        check(code not in (0, None), "a taken port ends the program with a non-zero code (got %r)" % code)
        check("cannot listen on port %d" % port in err, "says why on stderr: %r" % err[:300])
    finally:
        holder.close()
        folder.remove()


def main():
    if SIM_PORT == 0:
        print("no station simulator: skipped")
        return 0
    program = os.path.abspath(sys.argv[1])
    test_run_follow_and_stop(program)
    test_signals(program)
    test_missing_config_is_created(program)
    test_taken_port(program)
    test_station_that_never_answers(program)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
