#!/usr/bin/env python3
"""Lays out and packs what is shipped.

  package.py stage windows|linux --exe FILE --strip TOOL --source DIR --station-host HOST --out DIR
      copies the program (stripped of its debugging information), the README, an example
      config.json and, for Windows, the licence notices of the runtime linked into the .exe,
      for Linux the systemd unit and the nginx site, into DIR, which is emptied first.
  package.py installer --makensis TOOL --source DIR --stage DIR --version V --out FILE
      builds the Windows installer from a staged Windows folder.
  package.py zip DIR ARCHIVE      packs DIR's contents into ARCHIVE (.zip)
  package.py tar DIR ARCHIVE      packs DIR as its own folder into ARCHIVE (.tar.gz)
  package.py checksum FILE        writes FILE.sha256 in the format of sha256sum
  package.py dist --windows-exe FILE --windows-strip TOOL --windows-station-host HOST
                  --linux-exe FILE --linux-strip TOOL --linux-station-host HOST
                  --makensis TOOL --source DIR --version V --out DIR [--check]
      all of the above: every shipped artefact with its .sha256 into DIR (emptied first). With
      --check, packs everything a second time from copies of its inputs whose file times differ
      and fails unless both give the same bytes.

Everything is reproducible: the same inputs give the same bytes whatever their file times. Times
written into the files (the stripped .exe's header, the staged files, archive entries) are
SOURCE_DATE_EPOCH's (`make dist` sets it to the commit's time) or else a fixed one; archives have
sorted entries and no owner names; the installer stores no file times.
"""
import argparse
import gzip
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

# The Windows program links the MinGW-w64 runtime and winpthreads, libstdc++ and libgcc
# statically: their notices travel with it. Debian keeps them with the cross-compiler packages.
WINDOWS_NOTICES = {
    "mingw-w64.txt": "/usr/share/doc/mingw-w64-x86-64-dev/copyright",
    "gcc-runtime.txt": "/usr/share/doc/gcc-mingw-w64-base/copyright",
    # SQLite's own notice, from the Debian source package the .exe's SQLite was built from
    # (scripts/install-deps.sh unpacks it there).
    "sqlite.txt": "/usr/src/sqlite3-amalgamation/LICENSE.md",
}
NOTICES_README = """Third-party notices

tovrel-radio.exe contains, linked into it, parts of:

- the MinGW-w64 runtime (C runtime start-up and helpers) and its winpthreads library
  (POSIX threads for Windows): see mingw-w64.txt (the winpthreads entries are those under
  mingw-w64-libraries/winpthreads);
- the GNU C++ library (libstdc++) and the GCC support library (libgcc), distributed under the
  GPL version 3 with the GCC Runtime Library Exception, which permits this use: see
  gcc-runtime.txt;
- SQLite, which keeps the play history, dedicated to the public domain by its authors: see
  sqlite.txt.

mingw-w64.txt and gcc-runtime.txt are the copyright files of the Debian packages the program was
built with; sqlite.txt is the notice of Debian's SQLite source package it was built from.
"""
# The Linux program links libcurl (when built by scripts/build-curl.sh) and SQLite into itself.
LINUX_NOTICES_README = """Third-party notices

tovrel-radio contains, linked into it, parts of:

- libcurl, which makes its HTTP and HTTPS requests, under the curl licence: see curl.txt (when
  the program was built with the system's shared libcurl instead, curl.txt is absent);
- SQLite, which keeps the play history, dedicated to the public domain by its authors: see
  sqlite.txt;
- the GNU C++ library (libstdc++) and the GCC support library (libgcc), distributed under the
  GPL version 3 with the GCC Runtime Library Exception, which permits this use.

Both notices come from the Debian source packages the program was built from.
"""
FIXED_EPOCH = 946684800  # 2000-01-01, when SOURCE_DATE_EPOCH is not set


def epoch():
    value = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not value:
        return FIXED_EPOCH
    if not value.isdigit():
        sys.exit("package.py: SOURCE_DATE_EPOCH must be a number of seconds, not %r" % value)
    return int(value)


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def stage(args):
    out = args.out
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    windows = args.platform == "windows"
    exe = os.path.join(out, "tovrel-radio.exe" if windows else "tovrel-radio")
    # strip stamps a PE header with SOURCE_DATE_EPOCH, else with the current time.
    subprocess.run([args.strip, "--strip-debug", "-o", exe, args.exe], check=True,
                   env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch())))
    os.chmod(exe, 0o755)

    with open(os.path.join(args.source, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    # The default config.json exactly as the program writes it for this build's station host.
    with open(os.path.join(args.source, "tests/data/config_default.json"), encoding="utf-8", newline="") as f:
        config = f.read().replace("radio.tovrel.example", args.station_host)
    with open(os.path.join(out, "config.example.json"), "w", encoding="utf-8", newline="") as f:
        f.write(config)

    if windows:
        with open(os.path.join(out, "README.txt"), "w", encoding="utf-8", newline="") as f:
            f.write(crlf(readme))
        notices = os.path.join(out, "licenses")
        os.makedirs(notices)
        for name, path in WINDOWS_NOTICES.items():
            if not os.path.isfile(path):
                sys.exit("package.py: the licence notice %s is missing (Debian package not installed?)" % path)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            with open(os.path.join(notices, name), "w", encoding="utf-8", newline="") as f:
                f.write(crlf(text))
        with open(os.path.join(notices, "README.txt"), "w", encoding="utf-8", newline="") as f:
            f.write(crlf(NOTICES_README))
    else:
        shutil.copyfile(os.path.join(args.source, "README.md"), os.path.join(out, "README.md"))
        notices = {"sqlite.txt": WINDOWS_NOTICES["sqlite.txt"]}
        if getattr(args, "curl_notice", None):
            notices["curl.txt"] = args.curl_notice
        os.makedirs(os.path.join(out, "licenses"))
        for name, path in notices.items():
            if not os.path.isfile(path):
                sys.exit("package.py: the licence notice %s is missing" % path)
            shutil.copyfile(path, os.path.join(out, "licenses", name))
        with open(os.path.join(out, "licenses", "README.txt"), "w", encoding="utf-8", newline="") as f:
            f.write(LINUX_NOTICES_README)
        deploy = os.path.join(out, "deploy")
        os.makedirs(deploy)
        shutil.copyfile(os.path.join(args.source, "deploy/tovrel-radio.service"),
                        os.path.join(deploy, "tovrel-radio.service"))
        # The nginx site (its test stays behind).
        os.makedirs(os.path.join(deploy, "nginx"))
        for name in sorted(os.listdir(os.path.join(args.source, "deploy/nginx"))):
            if name.endswith(".conf"):
                shutil.copyfile(os.path.join(args.source, "deploy/nginx", name), os.path.join(deploy, "nginx", name))

    # Whatever packs the folder next sees the same times on every build.
    stamp = epoch()
    for root, dirs, files in os.walk(out, topdown=False):
        for name in files + dirs:
            os.utime(os.path.join(root, name), (stamp, stamp))
    os.utime(out, (stamp, stamp))


def installer(args):
    """The installer from a staged Windows folder."""
    # The four-part version of the Windows resources: parts left out count as 0.
    quad = ".".join((args.version.split(".") + ["0"] * 4)[:4])
    subprocess.run([args.makensis, "-V2", "-DVERSION=" + args.version, "-DVERSION_QUAD=" + quad,
                    "-DSTAGE=" + args.stage, "-DOUTFILE=" + args.out,
                    "-DICON=" + os.path.join(args.source, "app/win32/tovrel_radio.ico"),
                    os.path.join(args.source, "packaging/installer.nsi")], check=True)


def files_under(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            found.append((full, os.path.relpath(full, folder).replace(os.sep, "/")))
    return found


def make_zip(folder, archive):
    # A zip entry's time is local time from 1980 on: the epoch's UTC fields are written.
    zip_time = time.gmtime(max(epoch(), 315532800))[:6]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for full, name in files_under(folder):
            info = zipfile.ZipInfo(name, zip_time)
            info.external_attr = (0o100755 if os.access(full, os.X_OK) else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(full, "rb") as f:
                z.writestr(info, f.read())


def make_tar(folder, archive):
    top = os.path.basename(os.path.normpath(folder))
    entries = [(folder, top)]
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            full = os.path.join(root, name)
            entries.append((full, top + "/" + os.path.relpath(full, folder).replace(os.sep, "/")))
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as t:
        for full, name in sorted(entries, key=lambda e: e[1]):
            info = t.gettarinfo(full, arcname=name)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            info.mtime = epoch()
            info.mode = 0o755 if info.isdir() or os.access(full, os.X_OK) else 0o644
            if info.isdir():
                t.addfile(info)
            else:
                with open(full, "rb") as f:
                    t.addfile(info, f)
    with open(archive, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as g:
            g.write(buffer.getvalue())


def checksum(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    with open(path + ".sha256", "w", encoding="ascii") as f:
        f.write("%s  %s\n" % (digest.hexdigest(), os.path.basename(path)))


# What packing reads from the source tree, beside the programs.
SOURCE_FILES = ["README.md", "tests/data/config_default.json", "deploy/tovrel-radio.service",
                "packaging/installer.nsi", "app/win32/tovrel_radio.ico"]
SOURCE_GLOBS = [("deploy/nginx", ".conf")]


def pack_all(args, source, windows_exe, linux_exe, out):
    """Every artefact and its .sha256 into out, which is emptied first."""
    if os.path.isdir(out):
        shutil.rmtree(out)
    work = os.path.join(out, "work")
    os.makedirs(work)
    v = args.version
    windows = os.path.join(work, "tovrel-radio-%s-windows-x64" % v)
    stage(argparse.Namespace(platform="windows", exe=windows_exe, strip=args.windows_strip, source=source,
                             station_host=args.windows_station_host, out=windows))
    make_zip(windows, os.path.join(out, "tovrel-radio-%s-windows-x64.zip" % v))
    installer(argparse.Namespace(makensis=args.makensis, source=source, stage=windows, version=v,
                                 out=os.path.join(out, "tovrel-radio-%s-setup.exe" % v)))
    linux = os.path.join(work, "tovrel-radio-%s-linux-x86_64" % v)
    stage(argparse.Namespace(platform="linux", exe=linux_exe, strip=args.linux_strip, source=source,
                             station_host=args.linux_station_host, out=linux,
                             curl_notice=getattr(args, "linux_curl_notice", None)))
    make_tar(linux, os.path.join(out, "tovrel-radio-%s-linux-x86_64.tar.gz" % v))
    shutil.rmtree(work)
    for name in sorted(os.listdir(out)):
        checksum(os.path.join(out, name))


def copy_with_new_times(files, scratch):
    """Copies of files (pairs of source path and name under scratch), each with a time of its
    own, far from the original's."""
    now = int(time.time())
    for n, (path, name) in enumerate(files):
        copy = os.path.join(scratch, name)
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        shutil.copyfile(path, copy)
        shutil.copymode(path, copy)
        t = now - 86400 * (n + 1) - 7 * n
        os.utime(copy, (t, t))
    return [os.path.join(scratch, name) for _, name in files]


def dist(args):
    pack_all(args, args.source, args.windows_exe, args.linux_exe, args.out)
    if not args.check:
        return
    started = time.monotonic()
    files = [(args.windows_exe, "bin/windows/tovrel-radio.exe"), (args.linux_exe, "bin/linux/tovrel-radio")]
    files += [(os.path.join(args.source, name), "src/" + name) for name in SOURCE_FILES]
    for folder, suffix in SOURCE_GLOBS:
        files += [(os.path.join(args.source, folder, name), "src/%s/%s" % (folder, name))
                  for name in sorted(os.listdir(os.path.join(args.source, folder))) if name.endswith(suffix)]
    with tempfile.TemporaryDirectory(prefix="tovrel-dist-check-") as scratch:
        windows_exe, linux_exe = copy_with_new_times(files, scratch)[:2]
        again = os.path.join(scratch, "out")
        pack_all(args, os.path.join(scratch, "src"), windows_exe, linux_exe, again)
        names, names_again = sorted(os.listdir(args.out)), sorted(os.listdir(again))
        differing = [n for n in names if n not in names_again or not same_bytes(os.path.join(args.out, n),
                                                                                 os.path.join(again, n))]
        differing += [n for n in names_again if n not in names]
    if differing:
        sys.exit("package.py: not reproducible: a second packing from the same inputs with other file times "
                 "gave other bytes for " + ", ".join(differing))
    print("reproducible: %d files packed twice with the same bytes (check %.1f s)"
          % (len(names), time.monotonic() - started))


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("stage")
    s.add_argument("platform", choices=["windows", "linux"])
    for option in ("--exe", "--strip", "--source", "--station-host", "--out"):
        s.add_argument(option, required=True)
    s.add_argument("--curl-notice", help="curl's licence notice, when libcurl is linked into the Linux program")
    n = sub.add_parser("installer")
    for option in ("--makensis", "--source", "--stage", "--version", "--out"):
        n.add_argument(option, required=True)
    d = sub.add_parser("dist")
    for option in ("--windows-exe", "--windows-strip", "--windows-station-host", "--linux-exe", "--linux-strip",
                   "--linux-station-host", "--makensis", "--source", "--version", "--out"):
        d.add_argument(option, required=True)
    d.add_argument("--linux-curl-notice", help="curl's licence notice, when libcurl is linked into the Linux program")
    d.add_argument("--check", action="store_true")
    for name in ("zip", "tar"):
        p = sub.add_parser(name)
        p.add_argument("folder")
        p.add_argument("archive")
    c = sub.add_parser("checksum")
    c.add_argument("file")
    args = parser.parse_args()
    if args.command == "stage":
        stage(args)
    elif args.command == "installer":
        installer(args)
    elif args.command == "dist":
        dist(args)
    elif args.command == "zip":
        make_zip(args.folder, args.archive)
    elif args.command == "tar":
        make_tar(args.folder, args.archive)
    else:
        checksum(args.file)


if __name__ == "__main__":
    main()
