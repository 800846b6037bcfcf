#!/usr/bin/env bash
# make screenshots: the README's pictures, taken from the demo station (docs/images/):
#   window.png      the Windows program under Wine at 96 DPI
#   window-150.png  the same at 150 % (the prefix's LogPixels 144)
#   page.png        the web page of the native program in headless Chromium
# Each waits until a cover of the demo's is on show. Uses a Wine prefix of its own (in
# build/screenshots), so the test prefixes keep their settings. Not part of `make test`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/images"
work="$root/build/screenshots"
mkdir -p "$out" "$work"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

pids=()
xvfb_pid=
cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

stop_program() {  # $1 port: the program's own /stop
  python3 -c "import sys, urllib.request as u; u.build_opener(u.ProxyHandler({})).open(sys.argv[1], timeout=5).read()" \
    "http://127.0.0.1:$1/stop" >/dev/null 2>&1 || true
}
# The usual port (7555) when it is free, as the footer then reads as it does for a user.
free_port() {
  python3 -c "
import socket
for port in (7555, 0):
    s = socket.socket()
    try:
        s.bind(('0.0.0.0', port))
        s.listen()
    except OSError:
        continue
    print(s.getsockname()[1])
    break"
}

# The demo station.
rm -f "$work/sim-port"
python3 "$root/tools/station_simulator/simulator.py" --demo --host 127.0.0.1 --port 0 \
  --port-file "$work/sim-port" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim-port" ] && break; sleep 0.1; done
sim="http://127.0.0.1:$(cat "$work/sim-port")"

# A program folder with the demo's channels; $1 folder, $2 port, $3 channel shown.
write_config() {
  python3 - "$1/config.json" "$sim" "$2" "$3" <<'EOF'
import json, sys
path, sim, port, channel = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
ids = ["ostrel", "pavo", "lumo", "siro", "orvel", "mirel", "tenvo", "kessa"]
names = ["Ostrel", "Retro (Pavo)", "Modern (Lumo)", "Orchestral (Siro)", "Orvel", "Mirel",
         "Alternative (Tenvo)", "Kessa"]
config = {"rotate_interval_seconds": 30, "port": port, "last_channel": channel, "show_images": True,
          "window_width": 500, "window_height": 640,
          "status_url": sim + "/status-json.xsl", "image_search_url": sim + "/demo/images/async",
          "itunes_url": sim + "/itunes/search", "deezer_url": sim + "/deezer/search",
          "musicbrainz_url": sim + "/musicbrainz/ws/2/recording", "coverartarchive_url": sim + "/caa",
          "channels": [{"id": i, "name": n, "endpoint": "%s/nowplaying-%s.txt" % (sim, i)} for i, n in zip(ids, names)]}
with open(path, "w", newline="") as f:
    f.write(json.dumps(config, indent=2).replace("\n", "\r\n") + "\r\n")
EOF
}

# Waits (up to 90 s) until the program at port $1 shows a title with a picture that is no WebP
# (the Windows program cannot show WebP and moves on to the next picture), written in scripts
# every Windows font has (the prefix has no CJK font). Prints the title.
wait_for_cover() {
  python3 - "$1" <<'EOF'
import json, sys, time, urllib.request
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
base = "http://127.0.0.1:%s" % sys.argv[1]
end = time.monotonic() + 90
while time.monotonic() < end:
    try:
        info = json.loads(opener.open(base + "/api/info", timeout=2).read())
        track = info.get("track") or ""
        if info.get("has_image") and track and track != "Loading..." and max(map(ord, track)) < 0x500:
            picture = opener.open(base + "/image", timeout=2).read()
            if not picture.startswith(b"RIFF"):
                print(track)
                sys.exit(0)
    except (OSError, ValueError):
        pass
    time.sleep(0.3)
sys.exit(1)
EOF
}

# The title on show now at port $1 (empty when it cannot be read).
current_title() {
  python3 - "$1" <<'EOF'
import json, sys, urllib.request
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
try:
    print(json.loads(opener.open("http://127.0.0.1:%s/api/info" % sys.argv[1], timeout=2).read()).get("track", ""))
except (OSError, ValueError):
    print("")
EOF
}

# The page: the native program, shot in headless Chromium.
native="$work/native"
mkdir -p "$native"
cp -f "$root/build/release/tovrel-radio" "$native/"
port=$(free_port)
write_config "$native" "$port" ostrel
(cd "$native" && exec ./tovrel-radio >/dev/null) &
pids+=($!)
# A tall window, so that the whole page shows; the shot is then cut to the page with a margin of
# its background colour. (--timeout: the page's event stream never ends, so Chromium is told
# when to shoot rather than waiting for the page to finish loading.) A shot during which the
# title changed is taken again.
for attempt in 1 2 3; do
  title=$(wait_for_cover "$port") || { echo "screenshots: the native program showed no cover" >&2; exit 1; }
  timeout 90 chromium --headless=new --no-sandbox --disable-gpu --hide-scrollbars --window-size=1000,1600 \
    --timeout=4000 --screenshot="$work/page.png" "http://127.0.0.1:$port/" >/dev/null 2>&1
  [ "$(current_title "$port")" = "$title" ] && break
done
stop_program "$port"
background=$(convert "$work/page.png" -format '%[pixel:p{2,2}]' info:)
convert "$work/page.png" -trim +repage -bordercolor "$background" -border 48 -strip \
  -define png:compression-level=9 "$out/page.png"
echo "screenshots: docs/images/page.png"

# The window under Wine, on a private X display, at 96 and at 144 DPI.
export TOVREL_BUILD_DIR="$work"
. "$root/scripts/wine-env.sh"
"$root/scripts/wine-prefix.sh" "$work" >/dev/null
Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp >"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
windows="$work/windows"
mkdir -p "$windows"
cp -f "$root/build/windows/tovrel-radio.exe" "$windows/"

shoot_window() {  # $1 LogPixels, $2 output name, $3 channel
  wineserver -k 2>/dev/null || true
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -w
  local port
  port=$(free_port)
  write_config "$windows" "$port" "$3"
  (cd "$windows" && exec wine ./tovrel-radio.exe </dev/null >/dev/null 2>&1) &
  local pid=$!
  local win title attempt
  for attempt in 1 2 3; do
    title=$(wait_for_cover "$port") || { echo "screenshots: the Windows program showed no cover" >&2; kill "$pid"; return 1; }
    sleep 1.5  # the window paints the picture it was told of
    win=$(xdotool search --name 'Radio Tovrel' | head -n1)
    import -window "$win" "$work/$2"
    [ "$(current_title "$port")" = "$title" ] && break
  done
  convert "$work/$2" -strip -define png:compression-level=9 "$out/$2"
  stop_program "$port"
  wait "$pid" 2>/dev/null || true
  echo "screenshots: docs/images/$2"
}
shoot_window 96 window.png pavo
shoot_window 144 window-150.png lumo
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 || true
