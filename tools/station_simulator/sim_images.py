"""Image search for the station simulator: a results page and the pictures it points to.

  GET  /images/async?q=...   the results page; the q it was asked with is recorded
  GET  /pics/<kind>/<tag>    a picture (or not) of the given kind; <tag> is written into the bytes
                             as "tag:<tag>;" so a test can tell which one it got. Query options:
                             size (bytes, default 2048), delay_ms, trickle_ms, chunk
         kinds: jpeg png webp gif html tiny (a 300-byte JPEG) missing (404) big (5 MiB JPEG)
                slow (JPEG after 1500 ms unless delay_ms says otherwise) hang (never answers)
                trickle (JPEG sent a byte a second unless trickle_ms and chunk say otherwise)
  POST /_sim/images          JSON: what the results page holds (every key optional)
         {"preset": "variety" | "classes" | "both_markers" | "many",
          "urls": [url | {"url": url-with-{pad}, "length": n}, ...],   "{base}" = this server
          "marker": "entity" | "json" | "both",   "pad_to": n,  "tail_urls": [...] (after padding),
          "page": "raw page text ({base} replaced)", "status": 200, "delay_ms": 0,
          "trickle_ms": 0, "chunk": 1, "hang": false}
  GET  /_sim/images          JSON {"queries": [decoded q...], "raw": [q as sent...]}

A POST to /_sim/reset also brings the results page back to the "variety" preset and forgets the
queries.
"""
import json
import threading
import urllib.parse

import simulator

LOCK = threading.Lock()
STATE = {"config": {}, "queries": [], "raw": []}
BASE = {"url": ""}
BIG_BYTES = 5 * 1024 * 1024

PRESETS = {
    # Ten results (two more than are ever fetched): every kind of answer once.
    "variety": ["{base}/pics/jpeg/a", "{base}/pics/html/b", "{base}/pics/png/c", "{base}/pics/gif/d",
                "{base}/pics/tiny/e", "{base}/pics/missing/f", "{base}/pics/webp/g", "{base}/pics/big/h",
                "{base}/pics/jpeg/i", "{base}/pics/jpeg/j"],
    # Length classes: 10 and 1000 bytes are skipped, 11 and 999 are taken; "&amp;" is decoded.
    "classes": ["zz://abcde",
                {"url": "{base}/pics/jpeg/len1000?pad={pad}", "length": 1000},
                "zz://abcdef",
                {"url": "{base}/pics/jpeg/len999?pad={pad}", "length": 999},
                "{base}/pics/png/amp?a=1&amp;b=2&amp;amp;c=3",
                "{base}/pics/jpeg/k1", "{base}/pics/jpeg/k2", "{base}/pics/jpeg/k3", "{base}/pics/jpeg/k4",
                "{base}/pics/jpeg/k5", "{base}/pics/jpeg/k6", "{base}/pics/jpeg/k7"],
    "many": ["{base}/pics/jpeg/m%d" % i for i in range(12)],
}


def _expand(entry):
    if isinstance(entry, dict):
        url = entry["url"].replace("{base}", BASE["url"])
        length = int(entry.get("length") or 0)
        fill = max(0, length - len(url.replace("{pad}", "")))
        return url.replace("{pad}", "p" * fill)
    return str(entry).replace("{base}", BASE["url"])


def _items(urls, marker):
    out = []
    for url in urls:
        if marker in ("json", "both"):
            out.append('{"murl":"%s","turl":"%s/thumb"}\n' % (url.replace("/pics/", "/pics-json/"), BASE["url"]))
        if marker in ("entity", "both"):
            out.append('<a class="iusc" m="{&quot;cid&quot;:&quot;x&quot;,&quot;murl&quot;:&quot;%s&quot;,'
                       '&quot;turl&quot;:&quot;%s/thumb&quot;}" href="#"></a>\n' % (url, BASE["url"]))
    return "".join(out)


def build_page(config):
    if "page" in config:
        return config["page"].replace("{base}", BASE["url"]).encode("utf-8")
    preset = config.get("preset", "variety")
    marker = config.get("marker", "both" if preset == "both_markers" else "entity")
    urls = config.get("urls")
    if urls is None:
        urls = PRESETS.get(preset, PRESETS["variety"])
    head = "<!DOCTYPE html><html><body><div class=\"imgpt\">\n"
    page = head + _items([_expand(u) for u in urls], marker)
    pad_to = int(config.get("pad_to") or 0)
    if pad_to > len(page):
        filler = "<p>" + "filler " * 20 + "</p>\n"
        page += (filler * (pad_to // len(filler) + 1))[:pad_to - len(page)]
    page += _items([_expand(u) for u in config.get("tail_urls", [])], marker)
    return (page + "</div></body></html>\n").encode("utf-8")


def results_page(handler, path, query):
    q = urllib.parse.parse_qs(query, keep_blank_values=True).get("q", [""])[0]
    raw = query.split("&")[0][2:] if query.startswith("q=") else ""
    with LOCK:
        STATE["queries"].append(q)
        STATE["raw"].append(raw)
        config = dict(STATE["config"])
    answer = {"path": path, "status": int(config.get("status", 200)), "body": build_page(config),
            "content_type": "text/html; charset=utf-8"}
    for key in ("delay_ms", "trickle_ms", "chunk", "hang"):
        if key in config:
            answer[key] = config[key]
    return answer


def _picture_bytes(kind, tag, size):
    marker = ("tag:%s;" % tag).encode()
    heads = {"jpeg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00", "png": b"\x89PNG\r\n\x1a\n",
             "webp": b"RIFF\x00\x00\x00\x00WEBPVP8 ", "gif": b"GIF89a",
             "html": b"<!DOCTYPE html><html><body>not a picture</body></html>"}
    head = heads.get(kind, heads["jpeg"])
    body = head + marker
    return body + b"\x00" * max(0, size - len(body))


def picture(handler, path, query):
    parts = path.split("/")
    if len(parts) < 4:
        return None
    kind, tag = parts[2], parts[3]
    opts = {k: v[0] for k, v in urllib.parse.parse_qs(query).items()}
    answer = {"path": path, "status": 200, "content_type": "image/jpeg"}
    size = int(opts.get("size", 2048))
    if kind == "missing":
        return {"path": path, "status": 404, "body": b"not found", "content_type": "text/plain"}
    if kind == "hang":
        return {"path": path, "hang": True}
    if kind == "tiny":
        size = 300
    if kind == "big":
        size = BIG_BYTES
    if kind == "slow":
        answer["delay_ms"] = 1500
    if kind == "trickle":
        answer["trickle_ms"] = 1000
        answer["chunk"] = 1
    if kind == "html":
        answer["content_type"] = "image/jpeg"  # a lying content type: only the bytes count
    answer["body"] = _picture_bytes(kind if kind in ("png", "webp", "gif", "html") else "jpeg", tag, size)
    for key in ("delay_ms", "trickle_ms", "chunk"):
        if key in opts:
            answer[key] = int(opts[key])
    return answer


def control_get(handler, path, query):
    with LOCK:
        body = json.dumps({"queries": STATE["queries"], "raw": STATE["raw"]})
    return {"path": path, "status": 200, "body": body, "content_type": "application/json"}


def _reset():
    with LOCK:
        STATE["config"] = {}
        STATE["queries"] = []
        STATE["raw"] = []


def setup(args):
    BASE["url"] = "http://%s:%d" % (args.host, args.bound_port)
    simulator.register_handler("/images/async", results_page)
    simulator.register_handler("/pics/", picture)
    simulator.register_handler("/pics-json/", picture)
    simulator.register_handler("/_sim/images", control_get)
    original_post = simulator.Handler.do_POST

    def do_post(self):
        if self.path == "/_sim/images":
            length = int(self.headers.get("Content-Length") or 0)
            data = self.rfile.read(length) if length else b""
            try:
                config = json.loads(data.decode("utf-8") or "{}")
                if not isinstance(config, dict):
                    raise ValueError("expected a JSON object")
            except ValueError as e:
                self._reply(400, str(e).encode())
                return
            with LOCK:
                STATE["config"] = config
            self._reply(200, b"ok")
            return
        if self.path == "/_sim/reset":
            _reset()
        original_post(self)

    simulator.Handler.do_POST = do_post
