#!/usr/bin/env bash
# Builds every artefact that is shipped into build/dist, each with a .sha256 beside it:
#   tovrel-radio-<version>-windows-x64.zip          the portable Windows program
#   tovrel-radio-<version>-setup.exe                the per-user Windows installer
#   tovrel-radio-<version>-linux-x86_64.tar.gz      the native program with the systemd unit and
#                                                   the nginx site
# Uses the windows and release presets (configured here when needed). The artefacts are
# reproducible: their times are the commit's (SOURCE_DATE_EPOCH, unless already set), and the
# packing is done twice, the second time from copies of its inputs with other file times, and
# must give the same bytes.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target tovrel-radio
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target tovrel-radio

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
  [ -n "$SOURCE_DATE_EPOCH" ] || echo "dist.sh: no git commit here: the artefacts carry a fixed time" >&2
fi
export SOURCE_DATE_EPOCH

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt"; }
# The HTTP-only libcurl the release tree linked (built into build/curl when configuring), if any.
curl_notice=""
if grep -q 'prefix/lib/libcurl\.a' build/release/build.ninja 2>/dev/null; then
  curl_notice="--linux-curl-notice $(cache_value TOVREL_CURL_BUILD_DIR build/release)/prefix/COPYING"
fi
makensis=$(cache_value TOVREL_MAKENSIS build/windows)
case "$makensis" in ""|*NOTFOUND) echo "dist.sh: makensis not found (Debian package nsis)" >&2; exit 1 ;; esac
dist="$root/build/dist"
python3 "$root/packaging/package.py" dist --check --source "$root" --out "$dist" \
  --version "$(cache_value CMAKE_PROJECT_VERSION build/windows)" --makensis "$makensis" \
  --windows-exe build/windows/tovrel-radio.exe --windows-strip "$(cache_value CMAKE_STRIP build/windows)" \
  --windows-station-host "$(cache_value TOVREL_STATION_HOST build/windows)" \
  --linux-exe build/release/tovrel-radio --linux-strip "$(cache_value CMAKE_STRIP build/release)" \
  --linux-station-host "$(cache_value TOVREL_STATION_HOST build/release)" $curl_notice
(cd "$dist" && sha256sum -c --quiet ./*.sha256)
ls -l "$dist"
