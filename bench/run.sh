#!/usr/bin/env bash
# make bench: the web server's requests per second and p50/p99 latency for /api/info,
# /api/nowplaying (32 channels; its rate also as a ratio to /api/info's) and /image,
# one new connection per request, at 1, 8 and 64 concurrent connections, each figure as a ratio
# to a minimal reference server measured in the same run. Natively, then the Windows build under
# Wine against the reference built for Windows. Each point alternates three runs of each server
# of BENCH_SECONDS (default 2) and takes the medians: 36 points, about six minutes in all. Between
# them, /api/info's latency beside exports of 100,000 stored plays. Before them, the play
# history's queries on a store of a million plays and the time to record 10,000. Then the
# program's memory, idle and with the cover cache full, beside the reference server's, natively
# and (idle) under Wine: about two minutes. Not part of `make test`.
#   BENCH_SECONDS=<n>     seconds per measurement
#   BENCH_SKIP_WINDOWS=1  native only
#   BENCH_SKIP_NATIVE=1   the Windows build under Wine only
#   BENCH_HISTORY_PLAYS=<n> plays in the history store queried (default 1000000)
#   BENCH_SKIP_DEBIAN_LIBS=1  no build with Debian's shared libcurl and SQLite beside the shipped one
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

if ! command -v wrk >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    apt-get install -y wrk >/dev/null || { apt-get update >/dev/null && apt-get install -y wrk >/dev/null; }
  else
    echo "bench: wrk is missing (apt-get install wrk)" >&2
    exit 1
  fi
fi

echo "=== building the benchmark programs (native, optimised) ==="
cmake --preset release >/dev/null
cmake --build --preset release --target bench_server bench_reference_server bench_history tovrel-radio -j 2
echo "=== the play history: queries on 1,000,000 plays, recording 10,000 (native) ==="
history_work=$(mktemp -d)
"$root/build/release/bench_history" "$history_work" "${BENCH_HISTORY_PLAYS:-1000000}"
rm -rf "$history_work"
echo "=== the server beside stuck clients and 896 event subscribers (native) ==="
python3 "$root/bench/events_bench.py" "$root/build/release/bench_server" --seconds "${BENCH_SECONDS:-2}"
echo "=== /api/info beside exports of the stored history (native) ==="
python3 "$root/bench/history_bench.py" "$root/build/release/bench_server" --seconds "$(( ${BENCH_SECONDS:-2} * 3 ))"

args=(--native "$root/build/release")
memory_args=(--native "$root/build/release")
if [ -z "${BENCH_SKIP_WINDOWS:-}" ] && command -v wine >/dev/null 2>&1; then
  echo "=== building the benchmark programs (Windows) ==="
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target bench_server bench_reference_server tovrel-radio -j 2
  args+=(--windows "$root/build/windows")
  memory_args+=(--windows "$root/build/windows")
fi
[ -n "${BENCH_SKIP_NATIVE:-}" ] && args+=(--skip-native)
python3 "$root/bench/run_bench.py" "${args[@]}" --seconds "${BENCH_SECONDS:-2}"
if [ -z "${BENCH_SKIP_DEBIAN_LIBS:-}" ]; then
  echo "=== the program with Debian's shared libcurl and SQLite (for its memory beside the shipped one) ==="
  cmake --preset release -B "$root/build/release-debian-libs" -DTOVREL_CURL_BUILD_DIR= -DTOVREL_SQLITE_STATIC=OFF >/dev/null
  cmake --build "$root/build/release-debian-libs" --target tovrel-radio -j 2
  memory_args+=(--native-debian-libs "$root/build/release-debian-libs")
fi
echo "=== memory: idle and with the cover cache full, beside the reference server ==="
exec python3 "$root/bench/memory_bench.py" "${memory_args[@]}"
