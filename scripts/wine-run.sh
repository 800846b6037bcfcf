#!/usr/bin/env bash
# Runs a Windows program under Wine with the private prefix of the build tree it belongs to.
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest runs the .exe tests through it.
set -u
exe=$1
shift
dir=$(cd "$(dirname "$exe")" && pwd)
while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
TOVREL_BUILD_DIR=${TOVREL_BUILD_DIR:-$dir}
. "$(dirname "$0")/wine-env.sh"
[ -f "$WINEPREFIX/.tovrel-ready" ] || "$(dirname "$0")/wine-prefix.sh" "$TOVREL_BUILD_DIR" >/dev/null 2>&1
exec wine "$exe" "$@" </dev/null
