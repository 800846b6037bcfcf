#!/usr/bin/env bash
# Creates the private Wine prefix of a Windows build tree once (about 10 s), with its fonts.
# Usage: wine-prefix.sh <build-dir>
set -eu
TOVREL_BUILD_DIR=$(cd "$1" && pwd)
. "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX/.tovrel-ready" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w || true
  touch "$WINEPREFIX/.tovrel-ready"
fi
# A program that crashes ends at once with its backtrace on stderr, instead of waiting for a
# click on Wine's crash dialog, which nobody gives in a test run (ctest then waits for its
# time-out). Once per prefix, prefixes made before this included.
if [ ! -f "$WINEPREFIX/.tovrel-no-crash-dialog" ]; then
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 &&
    touch "$WINEPREFIX/.tovrel-no-crash-dialog"
  wineserver -w || true
fi
# Wine's Tahoma, and DejaVu Sans for what Tahoma lacks (the picture button's arrows); copied on
# every run, so that a prefix made before a font was added gets it too.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
for f in /usr/share/wine/fonts/tahoma*.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf; do
  [ -f "$f" ] && cp -u "$f" "$fonts/"
done
true
