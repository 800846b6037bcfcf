#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: install-deps.sh [extra packages...]
set -eu
# nginx: the proxy recipe's test runs a private copy on a loopback port (where a service manager
# runs, the Debian package also starts its own server on port 80). fonts-dejavu-core: the Wine
# prefix's font for the arrows that Wine's Tahoma lacks.
packages="g++ cmake ninja-build googletest libgtest-dev libcurl4-openssl-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 xvfb xauth x11-utils xdotool
  imagemagick fonts-wine fonts-dejavu-core python3 openssl nsis clang libclang-rt-14-dev chromium wrk nlohmann-json3-dev nginx $*"
command -v node >/dev/null || packages="$packages nodejs"
command -v npm >/dev/null || packages="$packages npm"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "Missing packages:$missing (run as root, or install them)" >&2
  exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# Packages that bring a service (nginx) must not start it: the tests run their own copies on
# loopback ports, and nothing of an install may stay running after make test.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && guard=1
fi
status=0
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends $missing >/dev/null || status=$?
[ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d
exit $status
