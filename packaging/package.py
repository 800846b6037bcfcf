#!/usr/bin/env python3
"""Lays out and packs what is shipped.

  package.py stage windows|linux --exe FILE --strip TOOL --source DIR --station-host HOST --out DIR
      copies the program (stripped of its debugging information), the README, an example
      config.json and, for Windows, the licence notices of the runtime linked into the .exe
      into DIR, which is emptied first.
  package.py zip DIR ARCHIVE      packs DIR's contents into ARCHIVE (.zip)
  package.py tar DIR ARCHIVE      packs DIR as its own folder into ARCHIVE (.tar.gz)
  package.py checksum FILE        writes FILE.sha256 in the format of sha256sum

Archives are made reproducible: sorted entries, fixed times, no owner names.
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
import zipfile

# The Windows program links the MinGW-w64 runtime and winpthreads, libstdc++ and libgcc
# statically: their notices travel with it. Debian keeps them with the cross-compiler packages.
WINDOWS_NOTICES = {
    "mingw-w64.txt": "/usr/share/doc/mingw-w64-x86-64-dev/copyright",
    "gcc-runtime.txt": "/usr/share/doc/gcc-mingw-w64-base/copyright",
}
NOTICES_README = """Third-party notices

tovrel-radio.exe contains, linked into it, parts of:

- the MinGW-w64 runtime (C runtime start-up and helpers) and its winpthreads library
  (POSIX threads for Windows): see mingw-w64.txt (the winpthreads entries are those under
  mingw-w64-libraries/winpthreads);
- the GNU C++ library (libstdc++) and the GCC support library (libgcc), distributed under the
  GPL version 3 with the GCC Runtime Library Exception, which permits this use: see
  gcc-runtime.txt.

Both files are the copyright files of the Debian packages the program was built with.
"""
FIXED_TIME = (2000, 1, 1, 0, 0, 0)
FIXED_EPOCH = 946684800


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def stage(args):
    out = args.out
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    windows = args.platform == "windows"
    exe = os.path.join(out, "tovrel-radio.exe" if windows else "tovrel-radio")
    subprocess.run([args.strip, "--strip-debug", "-o", exe, args.exe], check=True)
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
        deploy = os.path.join(out, "deploy")
        os.makedirs(deploy)
        shutil.copyfile(os.path.join(args.source, "deploy/tovrel-radio.service"),
                        os.path.join(deploy, "tovrel-radio.service"))


def files_under(folder):
    found = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            found.append((full, os.path.relpath(full, folder).replace(os.sep, "/")))
    return found


def make_zip(folder, archive):
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for full, name in files_under(folder):
            info = zipfile.ZipInfo(name, FIXED_TIME)
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
            info.mtime = FIXED_EPOCH
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("stage")
    s.add_argument("platform", choices=["windows", "linux"])
    for option in ("--exe", "--strip", "--source", "--station-host", "--out"):
        s.add_argument(option, required=True)
    for name in ("zip", "tar"):
        p = sub.add_parser(name)
        p.add_argument("folder")
        p.add_argument("archive")
    c = sub.add_parser("checksum")
    c.add_argument("file")
    args = parser.parse_args()
    if args.command == "stage":
        stage(args)
    elif args.command == "zip":
        make_zip(args.folder, args.archive)
    elif args.command == "tar":
        make_tar(args.folder, args.archive)
    else:
        checksum(args.file)


if __name__ == "__main__":
    main()
