"""Shared pieces of the whole-program tests: a temporary folder with the program and a
config.json pointing at the station simulator, HTTP helpers, bounded waiting."""
import json
import os
import shutil
import socket
import tempfile
import time
import urllib.error
import urllib.request

SIM_PORT = int(os.environ.get("TOVREL_SIM_PORT", "0"))
SIM = "http://127.0.0.1:%d" % SIM_PORT
CHANNELS = [("one", "First Channel"), ("two", "Second Channel"), ("three", "Third Channel")]

# Loopback only, never through a proxy.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, timeout=5):
    """(status, body bytes); status 0 when nothing answered."""
    try:
        with _opener.open(url, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()
    except (OSError, urllib.error.URLError):
        return 0, b""


def sim_post(path, obj):
    req = urllib.request.Request(SIM + path, data=json.dumps(obj).encode(), method="POST",
                                 headers={"Content-Type": "application/json"})
    with _opener.open(req, timeout=5) as r:
        return r.read()


def set_title(channel_id, text):
    sim_post("/_sim/station", {"channel": channel_id, "text": text})


def wait_for(pred, seconds, step=0.1):
    deadline = time.monotonic() + seconds
    while True:
        value = pred()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def api_info(port):
    status, body = http_get("http://127.0.0.1:%d/api/info" % port, timeout=3)
    if status != 200:
        return None
    try:
        return json.loads(body.decode("utf-8"))
    except ValueError:
        return None


SIM_COVER_SOURCES = {
    "cover_sources": ["image_search"],
    "itunes_url": SIM + "/itunes/search",
    "deezer_url": SIM + "/deezer/search",
    "musicbrainz_url": SIM + "/musicbrainz/ws/2/recording",
    "coverartarchive_url": SIM + "/caa",
}


class ProgramFolder:
    """The program copied into a fresh folder (config.json lies beside the executable)."""

    def __init__(self, program, port, extra=None, write_config=True, parent=None):
        self.dir = tempfile.mkdtemp(prefix="tovrel-system-", dir=parent)
        self.exe = os.path.join(self.dir, os.path.basename(program))
        shutil.copy2(program, self.exe)
        self.config_path = os.path.join(self.dir, "config.json")
        self.port = port
        if write_config:
            cfg = {
                "rotate_interval_seconds": 20,
                "port": port,
                "last_channel": "one",
                "show_images": True,
                "window_width": 500,
                "window_height": 640,
                "channels": [{"id": i, "name": n, "endpoint": "%s/nowplaying/%s" % (SIM, i)}
                             for i, n in CHANNELS],
                "status_url": SIM + "/status-json.xsl",
                "image_search_url": SIM + "/images/async",
            }
            # The design's single source unless a test asks for more, and every album-art service
            # at the simulator all the same, so that no run ever reaches the real ones.
            cfg.update(SIM_COVER_SOURCES)
            cfg.update(extra or {})
            with open(self.config_path, "w", encoding="utf-8") as f:
                json.dump(cfg, f, indent=2)

    def config_text(self):
        with open(self.config_path, encoding="utf-8") as f:
            return f.read()

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)
