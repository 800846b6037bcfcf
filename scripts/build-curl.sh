#!/usr/bin/env bash
# Builds a libcurl of HTTP and HTTPS only (OpenSSL, no other protocol, no LDAP, RTMP, SSH,
# Kerberos, IDN, PSL, HTTP/2 or compression) as a static library, from Debian's own source
# package of the system's libcurl (its patches applied), into <out>/prefix. Once: a finished
# build is kept. About 3 minutes on 2 cores.
#
# Why: Debian's libcurl loads about 30 libraries and holds about 4 MiB more when the program is
# idle (see the README's memory figures). The release preset builds it into build/curl when
# configuring (TOVREL_CURL_BUILD_DIR) and links it; any tree configured with
# -DTOVREL_CURL_PREFIX=<out>/prefix does. The program built so must be rebuilt for every
# security update of curl, as it no longer follows the system's libcurl.
#
# Certificates are looked up in the system's hashed folder (/etc/ssl/certs, kept by Debian's
# ca-certificates) as a connection needs them, not read from the whole bundle for every
# connection: about 1 MiB less held after the first HTTPS transfer, and less work per handshake.
#
# The source comes through a private deb-src list beside the system's own sources (same
# mirrors and suites), so the system's package lists stay as they are.
# Usage: build-curl.sh <out-dir>
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
prefix="$out/prefix"
# The recipe's version, kept in the finished build's mark: a build of an older recipe is redone.
recipe=2
if [ "$(cat "$prefix/.tovrel-ready" 2>/dev/null)" = "$recipe" ]; then
  # curl's licence notice travels with a program that links it (make dist's Linux archive).
  [ -f "$prefix/COPYING" ] || cp "$out/source/curl-src/COPYING" "$prefix/COPYING" 2>/dev/null || true
  exit 0
fi

lists="$out/apt-lists"
mkdir -p "$lists/partial" "$out/source"
sources="$out/deb-src.sources"
: >"$sources"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  sed -n 's/^Types:.*\bdeb\b.*/Types: deb-src/p; /^Types:/!p' "$f" >>"$sources"
  echo >>"$sources"
done
mkdir -p "$out/parts"
cp -f "$sources" "$out/parts/deb-src.sources"
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$out/parts/deb-src.list"
fi
apt_opts=(-o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$out/parts" -o "Dir::State::Lists=$lists")
apt-get "${apt_opts[@]}" update >/dev/null
version=$(dpkg-query -W -f '${source:Version}' libcurl4 2>/dev/null || true)
cd "$out/source"
rm -rf curl-src
apt-get "${apt_opts[@]}" source --download-only "curl${version:+=$version}" >/dev/null 2>&1 ||
  apt-get "${apt_opts[@]}" source --download-only curl >/dev/null
dsc=$(ls -t curl_*.dsc | head -n1)
dpkg-source -x --no-check "$dsc" curl-src >/dev/null

cd curl-src
rm -rf "$prefix"
# Optimised for size, every function in a section of its own: the program's linker keeps only
# what it calls, and all of libcurl's code that is linked is mapped in when the program runs
# (its transfers spend their time in the network and in OpenSSL, not here).
CFLAGS="-Os -ffunction-sections -fdata-sections" ./configure --prefix="$prefix" --disable-shared --enable-static --with-pic --with-openssl \
  --without-ca-bundle --with-ca-path=/etc/ssl/certs \
  --without-libpsl --without-libidn2 --without-nghttp2 --without-brotli --without-zstd --without-zlib \
  --without-librtmp --without-libssh2 --without-gssapi --disable-ldap --disable-ldaps \
  --disable-dict --disable-file --disable-ftp --disable-gopher --disable-imap --disable-mqtt \
  --disable-pop3 --disable-rtsp --disable-smb --disable-smtp --disable-telnet --disable-tftp \
  --disable-manual --disable-docs >"$out/configure.log" 2>&1
make -C lib -j "${JOBS:-2}" >"$out/make.log" 2>&1
make -C lib install >/dev/null
make -C include install >/dev/null
cp COPYING "$prefix/COPYING"
echo "$recipe" >"$prefix/.tovrel-ready"
echo "libcurl (HTTP and HTTPS only): $prefix"
