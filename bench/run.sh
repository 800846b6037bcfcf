#!/usr/bin/env bash
# make bench: the web server's requests per second and p50/p99 latency for /api/info,
# /api/nowplaying (32 channels; its rate also as a ratio to /api/info's) and /image,
# one new connection per request, at 1, 8 and 64 concurrent connections, each figure as a ratio
# to a minimal reference server measured in the same run. Natively, then the Windows build under
# Wine against the reference built for Windows. Each point alternates three runs of each server
# of BENCH_SECONDS (default 2) and takes the medians: 36 points, about six minutes in all. Between
# them, /api/info's latency beside exports of 100,000 stored plays.
# Not part of `make test`.
#   BENCH_SECONDS=<n>     seconds per measurement
#   BENCH_SKIP_WINDOWS=1  native only
#   BENCH_SKIP_NATIVE=1   the Windows build under Wine only
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
cmake --build --preset release --target bench_server bench_reference_server -j 2
echo "=== the server beside stuck clients and 896 event subscribers (native) ==="
python3 "$root/bench/events_bench.py" "$root/build/release/bench_server" --seconds "${BENCH_SECONDS:-2}"
echo "=== /api/info beside exports of the stored history (native) ==="
python3 "$root/bench/history_bench.py" "$root/build/release/bench_server" --seconds "$(( ${BENCH_SECONDS:-2} * 3 ))"

args=(--native "$root/build/release")
if [ -z "${BENCH_SKIP_WINDOWS:-}" ] && command -v wine >/dev/null 2>&1; then
  echo "=== building the benchmark programs (Windows) ==="
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target bench_server bench_reference_server -j 2
  args+=(--windows "$root/build/windows")
fi
[ -n "${BENCH_SKIP_NATIVE:-}" ] && args+=(--skip-native)
exec python3 "$root/bench/run_bench.py" "${args[@]}" --seconds "${BENCH_SECONDS:-2}"
