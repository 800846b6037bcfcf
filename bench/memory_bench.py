#!/usr/bin/env python3
"""Memory of the program beside the minimal reference server, against the station simulator on
loopback:

- idle: one title shown, pictures off, no client, after the program has settled (a few polls),
  as shipped (the release tree: the HTTP-only libcurl and SQLite linked in); also for a build
  with Debian's shared libcurl and SQLite when one is given;
- with the cover cache full: titles changing until every picture the cache may hold (32 MiB)
  has been fetched and kept, then idle again;
- the Windows program under Wine (with Xvfb), idle as above, beside the reference server built
  for Windows.

Natively the figure is the resident set (VmRSS) with its anonymous part. Under Wine the program
runs in a Linux process of its own, which also holds Wine's own libraries and DLLs: its figure is
the private resident memory of that process (the Private_Clean and Private_Dirty of
/proc/<pid>/smaps_rollup, what Windows calls the private working set) beside its resident set.
Both programs are measured as shipped, stripped of their debugging information.

Usage: memory_bench.py --native <release tree> [--windows <windows tree>] [--skip-cache]
                       [--skip-native] [--native-debian-libs <release tree with Debian's libcurl and SQLite>]
MEMORY_BENCH_DETAIL=1 also prints the largest private parts of each process by mapping.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from program_bench import free_port, get, post  # noqa: E402  the same loopback helpers

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SETTLE_SECONDS = 12           # two or three title polls after start
PICTURES_PER_TITLE = 8
PICTURE_BYTES = 512 * 1024    # 4 MiB a title: 8 titles fill the 32 MiB cache
CACHE_TITLES = 10


def status_kib(pid):
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "VmHWM"):
                out[key] = int(value.split()[0])
    return out


def private_kib(pid):
    total = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total


def private_by_mapping(pid, top=12):
    """The largest private parts of a process by what is mapped (file name or [heap] etc.)."""
    totals = {}
    name = "[anon]"
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if head and "-" in head[0] and not head[0].endswith(":"):
                name = head[5].rsplit("/", 1)[-1] if len(head) > 5 else "[anon]"
            elif head and head[0] in ("Private_Clean:", "Private_Dirty:"):
                totals[name] = totals.get(name, 0) + int(head[1])
    return sorted(totals.items(), key=lambda kv: -kv[1])[:top]


def detail(label, pid):
    if os.environ.get("MEMORY_BENCH_DETAIL"):
        print(f"  {label}, private memory by mapping (KiB): " +
              ", ".join(f"{name} {kib}" for name, kib in private_by_mapping(pid)))


def strip_tool(tree):
    """The tree's strip (CMAKE_STRIP in its cache)."""
    with open(os.path.join(tree, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_STRIP:"):
                return line.split("=", 1)[1].strip()
    return "strip"


def install(tree, name, folder):
    """The program as it is shipped: without its debugging information. (Wine reads a PE image's
    sections into memory whole, so an .exe with its debugging information would hold about 20 MiB
    more under Wine than the shipped one.)"""
    subprocess.run([strip_tool(tree), "--strip-debug", "-o", os.path.join(folder, name), os.path.join(tree, name)],
                   check=True)


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


def wait_for(check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.1)
    return False


def find_pid(marker):
    """The Linux process whose command line holds marker (the Windows program under Wine)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                if marker.encode() in f.read():
                    return int(name)
        except OSError:
            continue
    return None


class Simulator:
    def __init__(self, tmp, env):
        port_file = os.path.join(tmp, "sim-port")
        self.proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools/station_simulator/simulator.py"),
                                      "--port", "0", "--port-file", port_file], env=env,
                                     stdout=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 10):
            raise RuntimeError("the station simulator did not start")
        self.url = "http://127.0.0.1:" + open(port_file).read().strip()

    def title(self, text):
        post(self.url + "/_sim/set", {"path": "/np/one.txt", "body": text})


def write_config(folder, sim, port, show_images):
    config = {
        "rotate_interval_seconds": 20, "port": port, "last_channel": "one", "show_images": show_images,
        "window_width": 500, "window_height": 640,
        "status_url": sim + "/status-json.xsl", "image_search_url": sim + "/images/async",
        "cover_sources": ["image_search"],
        "itunes_url": sim + "/itunes/search", "deezer_url": sim + "/deezer/search",
        "musicbrainz_url": sim + "/musicbrainz/ws/2/recording", "coverartarchive_url": sim + "/caa",
        "channels": [{"id": "one", "name": "One", "endpoint": sim + "/np/one.txt"}],
    }
    with open(os.path.join(folder, "config.json"), "w", newline="") as f:
        f.write(json.dumps(config, indent=2).replace("\n", "\r\n") + "\r\n")


def start_reference(cmd, tmp, env):
    answer = os.path.join(tmp, "answer")
    with open(answer, "wb") as f:
        f.write(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
    proc = subprocess.Popen(cmd + ["--answer-file", answer], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, env=env, text=True)
    line = proc.stdout.readline()
    m = re.match(r"port (\d+)", line or "")
    if not m:
        proc.kill()
        raise RuntimeError(f"{cmd[-1]} did not start")
    get(f"http://127.0.0.1:{m.group(1)}/", 2)  # one answer, as the program has served none
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def fill_cache(sim, base):
    """Titles with 8 large pictures each until the cache has had more than it may hold."""
    for k in range(CACHE_TITLES):
        urls = [f"{{base}}/pics/jpeg/c{k}x{i}?size={PICTURE_BYTES}" for i in range(PICTURES_PER_TITLE)]
        post(sim.url + "/_sim/images", {"urls": urls})
        title = f"Cache Artist - Song {k}"
        sim.title(title)

        def shown():
            status, body = get(base + "/api/info", 2)
            info = json.loads(body) if status == 200 else {}
            return info.get("track") == title and info.get("has_image")
        if not wait_for(shown, 30):
            print(f"  title {k}: no picture within 30 s", file=sys.stderr)
        time.sleep(3)  # the rest of the title's pictures arrive and are kept


def native(args, env):
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        procs = []
        try:
            ref = start_reference([os.path.join(args.native, "bench_reference_server")], tmp, env)
            procs.append(ref)
            sim = Simulator(tmp, env)
            procs.append(sim.proc)
            sim.title("Bench Artist - First Song")
            runs = [(args.native, False, "idle"), (args.native, True, "cache")]
            if args.native_debian_libs:
                runs.append((args.native_debian_libs, False, "debian"))
            for tree, show, label in runs:
                if label == "cache" and args.skip_cache:
                    continue
                folder = os.path.join(tmp, label)
                os.makedirs(folder)
                install(tree, "tovrel-radio", folder)
                port = free_port()
                write_config(folder, sim.url, port, show)
                prog = subprocess.Popen([os.path.join(folder, "tovrel-radio")], cwd=folder, env=env,
                                        stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                procs.append(prog)
                base = f"http://127.0.0.1:{port}"
                wait_for(lambda: get(base + "/api/info", 1)[0] == 200, 10)
                if label == "cache":
                    fill_cache(sim, base)
                time.sleep(SETTLE_SECONDS)
                results[label] = status_kib(prog.pid)
                detail(f"program ({label})", prog.pid)
                get(base + "/stop", 2)
                prog.wait(timeout=10)
            results["reference"] = status_kib(ref.pid)
        finally:
            for p in reversed(procs):
                stop(p)
    ref = results["reference"]
    print(f"reference server, idle:          resident {mib(ref['VmRSS'])} (anonymous {mib(ref['RssAnon'])})")
    idle = results["idle"]
    print(f"program, idle:                   resident {mib(idle['VmRSS'])} (anonymous {mib(idle['RssAnon'])}), "
          f"{idle['VmRSS'] / ref['VmRSS']:.1f}x the reference")
    if "debian" in results:
        shared = results["debian"]
        print(f"program with Debian's shared libcurl and SQLite, idle: resident {mib(shared['VmRSS'])} "
              f"(anonymous {mib(shared['RssAnon'])}), {shared['VmRSS'] / ref['VmRSS']:.1f}x the reference")
    if "cache" in results:
        full = results["cache"]
        print(f"program, cover cache full:       resident {mib(full['VmRSS'])} (anonymous {mib(full['RssAnon'])}), "
              f"peak {mib(full['VmHWM'])}")


def windows(args):
    build = os.path.abspath(args.windows)
    # A Wine prefix of the benchmarks' own: the one of the tests has their wineserver, which the
    # start and end below would otherwise kill under a test run going on beside.
    home = os.path.join(build, "bench")
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update({"TOVREL_BUILD_DIR": home, "WINEDEBUG": "-all", "WINEARCH": "win64",
                "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
                "WINEPREFIX": os.path.join(home, "wineprefix"), "no_proxy": "127.0.0.1,localhost"})
    os.makedirs(home, exist_ok=True)
    subprocess.run([os.path.join(ROOT, "scripts/wine-prefix.sh"), home], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    env["DISPLAY"] = ":" + xvfb.stdout.readline().strip()
    procs = []
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        try:
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, check=False)
            subprocess.run(["wineserver", "-p"], env=env, check=False)
            subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False, timeout=120)
            # Each program from a folder of its own, by which its process is found.
            ref_folder = os.path.join(tmp, "memory-bench-reference")
            os.makedirs(ref_folder)
            shutil.copy(os.path.join(build, "bench_reference_server.exe"), ref_folder)
            ref = start_reference(["wine", os.path.join(ref_folder, "bench_reference_server.exe")], tmp, env)
            procs.append(ref)
            ref_pid = find_pid("memory-bench-reference")
            sim = Simulator(tmp, env)
            procs.append(sim.proc)
            sim.title("Bench Artist - First Song")
            folder = os.path.join(tmp, "memory-bench-windows")
            os.makedirs(folder)
            install(build, "tovrel-radio.exe", folder)
            port = free_port()
            write_config(folder, sim.url, port, False)
            prog = subprocess.Popen(["wine", os.path.join(folder, "tovrel-radio.exe")], cwd=folder, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            procs.append(prog)
            base = f"http://127.0.0.1:{port}"
            if not wait_for(lambda: get(base + "/api/info", 1)[0] == 200, 60):
                raise RuntimeError("the Windows program did not start under Wine")
            time.sleep(SETTLE_SECONDS)
            pid = find_pid("memory-bench-windows")
            for name, p in (("program", pid), ("reference", ref_pid)):
                if p:
                    results[name] = (private_kib(p), status_kib(p)["VmRSS"])
                    detail(f"{name} under Wine", p)
            get(base + "/stop", 2)
            prog.wait(timeout=20)
        finally:
            for p in reversed(procs):
                stop(p)
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, check=False)
            xvfb.terminate()
            xvfb.wait(timeout=10)
    if "reference" in results:
        private, rss = results["reference"]
        print(f"reference server under Wine:     private {mib(private)} (resident {mib(rss)})")
    if "program" in results:
        private, rss = results["program"]
        line = f"Windows program under Wine, idle: private {mib(private)} (resident {mib(rss)})"
        if "reference" in results:
            line += f", {private / results['reference'][0]:.1f}x the reference"
        print(line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--native", required=True)
    ap.add_argument("--windows")
    ap.add_argument("--skip-cache", action="store_true")
    ap.add_argument("--skip-native", action="store_true")
    ap.add_argument("--native-debian-libs",
                    help="a release tree configured with TOVREL_CURL_BUILD_DIR empty and TOVREL_SQLITE_STATIC off")
    args = ap.parse_args()
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    if not args.skip_native:
        native(args, env)
    if args.windows:
        windows(args)


if __name__ == "__main__":
    main()
