#!/usr/bin/env bash
# Creates the private Wine prefix of a Windows build tree once (about 10 s), with Wine's Tahoma.
# Usage: wine-prefix.sh <build-dir>
set -eu
TOVREL_BUILD_DIR=$(cd "$1" && pwd)
. "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX/.tovrel-ready" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w || true
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  for f in /usr/share/wine/fonts/tahoma*.ttf; do
    [ -f "$f" ] && cp -f "$f" "$fonts/"
  done
  touch "$WINEPREFIX/.tovrel-ready"
fi
