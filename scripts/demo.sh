#!/usr/bin/env bash
# Runs the monitor against the demo station on loopback: eight channels with changing titles and
# generated cover pictures. Ctrl+C stops everything this script started.
# Usage: demo.sh native|windows
set -u
mode=${1:-native}
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$mode" = windows ]; then preset=windows; exe_name=tovrel-radio.exe; else preset=release; exe_name=tovrel-radio; fi
build="$root/build/$preset"
demo="$build/demo"
mkdir -p "$demo"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

pids=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  if [ "$mode" = windows ]; then
    TOVREL_BUILD_DIR="$demo"; . "$root/scripts/wine-env.sh"; wineserver -k 2>/dev/null
  fi
}
trap cleanup EXIT INT TERM

rm -f "$demo/sim-port"
python3 "$root/tools/station_simulator/simulator.py" --demo --host 127.0.0.1 --port 0 \
  --port-file "$demo/sim-port" >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -f "$demo/sim-port" ] && break; sleep 0.1; done
sim="http://127.0.0.1:$(cat "$demo/sim-port")"

port=7555
if python3 -c "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1',$port))" 2>/dev/null; then :; else
  port=$(python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])")
fi

ids=(ostrel pavo lumo siro orvel mirel tenvo kessa)
names=("Ostrel" "Retro (Pavo)" "Modern (Lumo)" "Orchestral (Siro)" "Orvel" "Mirel" "Alternative (Tenvo)" "Kessa")
{
  printf '{\r\n  "rotate_interval_seconds": 8,\r\n  "port": %d,\r\n  "last_channel": "ostrel",\r\n' "$port"
  printf '  "show_images": true,\r\n  "window_width": 500,\r\n  "window_height": 640,\r\n'
  printf '  "status_url": "%s/status-json.xsl",\r\n  "image_search_url": "%s/demo/images/async",\r\n' "$sim" "$sim"
  # Every picture source, each at the simulator: the demo never reaches a real service.
  printf '  "itunes_url": "%s/itunes/search",\r\n  "deezer_url": "%s/deezer/search",\r\n' "$sim" "$sim"
  printf '  "musicbrainz_url": "%s/musicbrainz/ws/2/recording",\r\n  "coverartarchive_url": "%s/caa",\r\n' "$sim" "$sim"
  printf '  "channels": [\r\n'
  for i in "${!ids[@]}"; do
    sep=","; [ "$i" -eq 7 ] && sep=""
    printf '    {\r\n      "id": "%s",\r\n      "name": "%s",\r\n      "endpoint": "%s/nowplaying-%s.txt"\r\n    }%s\r\n' \
      "${ids[$i]}" "${names[$i]}" "$sim" "${ids[$i]}" "$sep"
  done
  printf '  ]\r\n}\r\n'
} > "$demo/config.json"
cp -f "$build/$exe_name" "$demo/"

echo "Demo station: $sim"
echo "Monitor page: http://127.0.0.1:$port/   (Ctrl+C stops the demo)"
if [ "$mode" = windows ]; then
  # A Wine prefix of the demo's own (made on first use): the tests' prefix has their wineserver,
  # which the end of the demo would otherwise stop under a test run going on beside.
  export TOVREL_BUILD_DIR="$demo"
  if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/wine-run.sh" "$demo/$exe_name" &
  else
    "$root/scripts/wine-run.sh" "$demo/$exe_name" &
  fi
else
  (cd "$demo" && exec "./$exe_name") &
fi
pids+=($!)
wait "${pids[-1]}"
