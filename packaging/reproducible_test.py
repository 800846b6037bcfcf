#!/usr/bin/env python3
"""What `make dist` ships is reproducible, checked from the Windows build tree:

1. the program linked a second time, a few seconds after the build linked it, from the same
   objects with the same command, is the same file;
2. `package.py dist --check` packs every artefact twice (the second time from copies of the
   inputs with other file times) and finds the same bytes, .sha256 files included; a native
   program stands in for the Linux build;
3. the Linux archive holds what the README lists, with SOURCE_DATE_EPOCH's time on every entry.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

EPOCH = 1700000000
failures = []


def expect(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def relink(args, scratch):
    """The build's own link command for the program, with its outputs sent to scratch."""
    name = os.path.relpath(args.exe, args.build)
    commands = subprocess.run([args.ninja, "-C", args.build, "-t", "commands", name], capture_output=True,
                              text=True, check=True).stdout.strip().splitlines()
    link = commands[-1]
    relinked = os.path.join(scratch, "relinked.exe")
    if " -o %s " % name not in link:
        sys.exit("not a link command for %s: %s" % (name, link[:300]))
    link = link.replace(" -o %s " % name, " -o %s " % relinked)
    link = link.replace("--out-implib,", "--out-implib,%s/" % scratch)
    # Linked in another second than the build's link, or a stamped time could not show.
    delay = os.path.getmtime(args.exe) + 1.1 - time.time()
    if delay > 0:
        time.sleep(delay)
    subprocess.run(["bash", "-c", link], cwd=args.build, check=True)
    return relinked


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--build", "--ninja", "--source", "--exe", "--strip", "--makensis", "--version",
                   "--station-host"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tovrel-reproducible-") as scratch:
        expect(same_bytes(relink(args, scratch), args.exe), "the .exe linked again is the same file")
        linked = time.monotonic()

        out = os.path.join(scratch, "dist")
        stand_in = shutil.which("true")
        result = subprocess.run(
            [sys.executable, os.path.join(args.source, "packaging/package.py"), "dist", "--check",
             "--source", args.source, "--out", out, "--version", args.version, "--makensis", args.makensis,
             "--windows-exe", args.exe, "--windows-strip", args.strip, "--windows-station-host", args.station_host,
             "--linux-exe", stand_in, "--linux-strip", shutil.which("strip"),
             "--linux-station-host", args.station_host],
            env=dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH)), capture_output=True, text=True)
        print(result.stdout.strip())
        if result.returncode != 0:
            sys.exit("FAIL packed twice, the same bytes\n" + result.stderr.strip())

        v = args.version
        artefacts = ["tovrel-radio-%s-%s" % (v, a) for a in ("linux-x86_64.tar.gz", "setup.exe", "windows-x64.zip")]
        expect(sorted(os.listdir(out)) == sorted(artefacts + [a + ".sha256" for a in artefacts]),
               "every artefact with its .sha256")
        top = "tovrel-radio-%s-linux-x86_64" % v
        sites = sorted("deploy/nginx/" + n for n in os.listdir(os.path.join(args.source, "deploy/nginx"))
                       if n.endswith(".conf"))
        with tarfile.open(os.path.join(out, artefacts[0])) as t:
            members = t.getmembers()
            expect([m.name for m in members] == [top] + [top + "/" + n for n in sorted(
                ["README.md", "config.example.json", "deploy", "deploy/nginx", "deploy/tovrel-radio.service",
                 "licenses", "licenses/README.txt", "licenses/sqlite.txt", "tovrel-radio"] + sites)],
                   "the Linux archive's files, the nginx site and the notices included")
            expect(sites and all(m.mtime == EPOCH and m.uid == 0 and not m.uname for m in members),
                   "the Linux archive's times and owners")
    print("link check %.1f s, packing check %.1f s" % (linked - started, time.monotonic() - linked))
    if failures:
        sys.exit("%d check(s) failed" % len(failures))


if __name__ == "__main__":
    main()
