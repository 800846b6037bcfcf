#!/usr/bin/env bash
# Runs ctest in one build tree. For the Windows tree, a persistent wineserver is started inside a
# private X display and warmed up first (each .exe then starts in tens of milliseconds), and it
# is stopped on every path, so that nothing of Wine keeps the caller's output pipe open.
# Usage: run-tests.sh <preset> [ctest args...]
set -u
preset=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/$preset"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

if [ "$preset" != windows ]; then
  cd "$build" && exec ctest --output-on-failure "$@"
fi

if [ -z "${TOVREL_IN_XVFB:-}" ]; then
  export TOVREL_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$preset" "$@"
fi

export TOVREL_BUILD_DIR="$build"
. "$root/scripts/wine-env.sh"
"$root/scripts/wine-prefix.sh" "$build"
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT INT TERM
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit </dev/null >/dev/null 2>&1
# Wine closes a desktop about a second after the last program on it ended; a program starting in
# that moment may find none and fail to create its window. A hidden window holds it for the run.
if [ -f "$build/desktop_keeper.exe" ]; then
  wine "$build/desktop_keeper.exe" </dev/null >/dev/null 2>&1 &
fi
cd "$build" && ctest --output-on-failure "$@"
