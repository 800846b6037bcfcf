#!/usr/bin/env bash
# Builds every artefact that is shipped into build/dist, each with a .sha256 beside it:
#   tovrel-radio-<version>-windows-x64.zip          the portable Windows program
#   tovrel-radio-<version>-setup.exe                the per-user Windows installer
#   tovrel-radio-<version>-linux-x86_64.tar.gz      the native program with the systemd unit
# Uses the windows and release presets (configured here when needed).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
package="python3 $root/packaging/package.py"

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target installer
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target tovrel-radio

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION build/windows)
host=$(cache_value TOVREL_STATION_HOST build/release)
dist="$root/build/dist"
rm -rf "$dist"
mkdir -p "$dist/work"

windows="$dist/work/tovrel-radio-$version-windows-x64"
cp -r build/windows/packaging/stage "$windows"
$package zip "$windows" "$dist/tovrel-radio-$version-windows-x64.zip"
cp "build/windows/packaging/tovrel-radio-$version-setup.exe" "$dist/"

linux="$dist/work/tovrel-radio-$version-linux-x86_64"
$package stage linux --exe build/release/tovrel-radio --strip strip --source "$root" --station-host "$host" \
  --out "$linux"
$package tar "$linux" "$dist/tovrel-radio-$version-linux-x86_64.tar.gz"

rm -rf "$dist/work"
for f in "$dist"/*; do $package checksum "$f"; done
(cd "$dist" && sha256sum -c --quiet ./*.sha256)
ls -l "$dist"
