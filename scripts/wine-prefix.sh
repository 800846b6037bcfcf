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
# Wine's Tahoma, and DejaVu Sans for what Tahoma lacks (the picture button's arrows); copied on
# every run, so that a prefix made before a font was added gets it too.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
for f in /usr/share/wine/fonts/tahoma*.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf; do
  [ -f "$f" ] && cp -u "$f" "$fonts/"
done
true
