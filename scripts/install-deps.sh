#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: install-deps.sh [extra packages...]
set -eu
# nginx: the proxy recipe's test runs a private copy on a loopback port (where a service manager
# runs, the Debian package also starts its own server on port 80). libssl-dev and dpkg-dev: the
# HTTP-only libcurl of scripts/build-curl.sh (built from Debian's source package).
# fonts-dejavu-core: the Wine prefix's font for the arrows that Wine's Tahoma lacks.
packages="g++ cmake ninja-build googletest libgtest-dev libcurl4-openssl-dev libssl-dev dpkg-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 xvfb xauth x11-utils xdotool
  imagemagick fonts-wine fonts-dejavu-core python3 openssl nsis clang libclang-rt-14-dev chromium wrk nlohmann-json3-dev nginx
  libsqlite3-dev tcl make xz-utils $*"
command -v node >/dev/null || packages="$packages nodejs"
command -v npm >/dev/null || packages="$packages npm"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# The Windows program links SQLite built from Debian's own source package: its single-file form
# (sqlite3.c, made with tclsh) is kept here, outside the repository, like /usr/src/googletest.
sqlite_dir=/usr/src/sqlite3-amalgamation
[ -z "$missing" ] && [ -f "$sqlite_dir/sqlite3.c" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  [ -n "$missing" ] && echo "Missing packages:$missing (run as root, or install them)" >&2
  [ -f "$sqlite_dir/sqlite3.c" ] || echo "Missing SQLite's source in $sqlite_dir (run this script as root)" >&2
  exit 1
fi
[ -n "$missing" ] && echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# Packages that bring a service (nginx) must not start it: the tests run their own copies on
# loopback ports, and nothing of an install may stay running after make test.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && guard=1
fi
status=0
if [ -n "$missing" ]; then
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends $missing >/dev/null || status=$?
fi
[ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d
[ $status -ne 0 ] && exit $status

if [ ! -f "$sqlite_dir/sqlite3.c" ]; then
  # apt-get source needs the source entries of the machine's Debian suites: added once, in a
  # file of their own, from the binary entries' addresses when none is set up.
  if ! apt-get source --print-uris sqlite3 >/dev/null 2>&1; then
    . /etc/os-release
    cat >/etc/apt/sources.list.d/tovrel-deb-src.sources <<EOF2
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $VERSION_CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF2
    apt-get update -qq || true
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  (
    set -e
    cd "$work"
    apt-get source -qq sqlite3 >/dev/null 2>&1
    src=$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
    mkdir build
    cd build
    "../$src/configure" --disable-tcl >/dev/null
    make sqlite3.c >/dev/null
    mkdir -p "$sqlite_dir.new"
    cp sqlite3.c sqlite3.h sqlite3ext.h "$sqlite_dir.new/"
    cp "../$src/LICENSE.md" "$sqlite_dir.new/LICENSE.md"
    rm -rf "$sqlite_dir"
    mv "$sqlite_dir.new" "$sqlite_dir"
  ) || { echo "Could not make SQLite's source from Debian's sqlite3 source package" >&2; exit 1; }
fi
exit 0
