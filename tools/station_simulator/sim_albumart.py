"""Album-art services for the station simulator, in the shapes their public documentation gives.

  GET  /itunes/search?term=...                 iTunes Search API: {"resultCount", "results": [...]}
  GET  /deezer/search?q=...                    Deezer search: {"data": [...], "total", "next"}
  GET  /musicbrainz/ws/2/recording?query=...   MusicBrainz recording search (fmt=json)
  GET  /caa/release-group/<mbid>/front-500     Cover Art Archive: the front cover (a JPEG)
  GET  /caa/release/<mbid>/front-500
  GET  /art/<service>/<tag>/<file>             the artwork the answers point to (a JPEG tagged
                                               "tag:<service>-<tag>;")
  POST /_sim/albumart   JSON, per service ("itunes", "deezer", "musicbrainz", "caa", "art"):
         {"<service>": {"mode": "ok" | "empty" | "error" | "malformed" | "slow" | "hang" | "html",
                        "delay_ms": n, "artist": "name the answers give"}}
         ok: one or two matching entries; empty: a valid answer without entries; error: status 503
         (Deezer: its error object with status 200); malformed: cut-off JSON; slow: ok after
         delay_ms (default 1500); hang: never answers; html: a page that is no JSON (art: no picture)
  GET  /_sim/albumart   JSON {"counts": {service: requests}, "queries": {service: [decoded query]},
                              "times": {service: [seconds since the first request]}}

The artist in the answers is the one asked for (so the program's artist check passes), unless
"artist" says otherwise. A POST to /_sim/reset also resets this module.
"""
import json
import threading
import time
import urllib.parse

import simulator

LOCK = threading.Lock()
SERVICES = ("itunes", "deezer", "musicbrainz", "caa", "art")
STATE = {}
BASE = {"url": ""}
T0 = {"t": None}


def _reset():
    with LOCK:
        STATE.clear()
        STATE.update({"config": {}, "counts": {s: 0 for s in SERVICES}, "queries": {s: [] for s in SERVICES},
                      "times": {s: [] for s in SERVICES}})
        T0["t"] = None


_reset()


def _note(service, query):
    with LOCK:
        now = time.monotonic()
        if T0["t"] is None:
            T0["t"] = now
        STATE["counts"][service] += 1
        STATE["queries"][service].append(query)
        STATE["times"][service].append(round(now - T0["t"], 3))
        return dict(STATE["config"].get(service, {}))


def _json_answer(path, config, body_obj, error_obj=None):
    mode = config.get("mode", "ok")
    answer = {"path": path, "status": 200, "content_type": "application/json; charset=utf-8"}
    if mode == "hang":
        return {"path": path, "hang": True}
    if mode == "slow":
        answer["delay_ms"] = int(config.get("delay_ms", 1500))
    elif config.get("delay_ms"):
        answer["delay_ms"] = int(config["delay_ms"])
    if mode == "error":
        if error_obj is not None:
            answer["body"] = json.dumps(error_obj)
        else:
            answer.update(status=503, body="Service Unavailable", content_type="text/plain")
        return answer
    text = json.dumps(body_obj)
    if mode == "malformed":
        text = text[: max(1, len(text) // 2)]
    elif mode == "html":
        text, answer["content_type"] = "<!DOCTYPE html><html><body>maintenance</body></html>", "text/html"
    answer["body"] = text
    return answer


def _mbid(seed, n):
    digits = ("%032x" % (abs(hash((seed, n))) % (1 << 128)))[:32]
    return "%s-%s-%s-%s-%s" % (digits[:8], digits[8:12], digits[12:16], digits[16:20], digits[20:32])


def itunes(handler, path, query):
    term = urllib.parse.parse_qs(query).get("term", [""])[0]
    config = _note("itunes", term)
    artist = config.get("artist", term)
    empty = config.get("mode") == "empty"
    results = [] if empty else [
        {"wrapperType": "track", "kind": "song", "artistId": 909253, "collectionId": 1469577723,
         "trackId": 1469577741, "artistName": artist, "collectionName": "An Album", "trackName": term,
         "collectionCensoredName": "An Album", "trackCensoredName": term,
         "artworkUrl30": "%s/art/itunes/a/30x30bb.jpg" % BASE["url"],
         "artworkUrl60": "%s/art/itunes/a/60x60bb.jpg" % BASE["url"],
         "artworkUrl100": "%s/art/itunes/a/100x100bb.jpg" % BASE["url"],
         "releaseDate": "2005-03-01T08:00:00Z", "trackCount": 12, "country": "USA", "currency": "USD",
         "primaryGenreName": "Rock", "isStreamable": True},
        {"wrapperType": "track", "kind": "song", "artistName": "Someone Else Entirely", "trackName": term,
         "artworkUrl100": "%s/art/itunes/wrong/100x100bb.jpg" % BASE["url"]},
    ]
    return _json_answer(path, config, {"resultCount": len(results), "results": results})


def deezer(handler, path, query):
    q = urllib.parse.parse_qs(query).get("q", [""])[0]
    config = _note("deezer", q)
    asked = q.split('artist:"', 1)[1].split('"', 1)[0] if 'artist:"' in q else q
    artist = config.get("artist", asked)
    data = [] if config.get("mode") == "empty" else [
        {"id": 3135556, "readable": True, "title": "A Song", "title_short": "A Song", "duration": 224, "rank": 756094,
         "explicit_lyrics": False, "preview": "%s/preview.mp3" % BASE["url"],
         "artist": {"id": 27, "name": artist, "link": "https://www.deezer.example/artist/27", "type": "artist"},
         "album": {"id": 302127, "title": "An Album", "cover": "%s/art/deezer/a/cover.jpg" % BASE["url"],
                   "cover_small": "%s/art/deezer/a/56x56.jpg" % BASE["url"],
                   "cover_medium": "%s/art/deezer/a/250x250.jpg" % BASE["url"],
                   "cover_big": "%s/art/deezer/a/500x500.jpg" % BASE["url"],
                   "cover_xl": "%s/art/deezer/a/1000x1000.jpg" % BASE["url"], "type": "album"},
         "type": "track"},
    ]
    error = {"error": {"type": "Exception", "message": "Quota limit exceeded", "code": 4}}
    return _json_answer(path, config, {"data": data, "total": len(data)}, error)


def musicbrainz(handler, path, query):
    q = urllib.parse.parse_qs(query).get("query", [""])[0]
    config = _note("musicbrainz", q)
    recordings = [] if config.get("mode") == "empty" else [
        {"id": _mbid(q, 1), "score": 100, "title": "A Song", "length": 224000,
         "artist-credit": [{"name": config.get("artist", "An Artist"),
                            "artist": {"id": _mbid(q, 2), "name": "An Artist", "sort-name": "Artist, An"}}],
         "first-release-date": "2005-03-01",
         "releases": [{"id": _mbid(q, 3), "status-id": _mbid("s", 0), "count": 1, "title": "An Album",
                       "status": "Official",
                       "release-group": {"id": "aaaaaaaa-0000-4000-8000-000000000001", "type-id": _mbid("t", 0),
                                         "primary-type-id": _mbid("p", 0), "title": "An Album",
                                         "primary-type": "Album"},
                       "date": "2005-03-01", "country": "XE", "track-count": 12}]},
        {"id": _mbid(q, 4), "score": 41, "title": "Another Song",
         "releases": [{"id": _mbid(q, 5), "release-group": {"id": "bbbbbbbb-0000-4000-8000-000000000002"}}]},
    ]
    body = {"created": "2024-01-01T00:00:00.000Z", "count": len(recordings), "offset": 0, "recordings": recordings}
    return _json_answer(path, config, body)


def coverartarchive(handler, path, query):
    config = _note("caa", path)
    parts = path.split("/")  # ['', 'caa', 'release-group', mbid, 'front-500']
    if len(parts) < 5:
        return None
    if config.get("mode") in ("error", "empty"):
        return {"path": path, "status": 404, "body": b"Not Found", "content_type": "text/plain"}
    return _art(path, config, "caa-" + parts[3][:8])


def art(handler, path, query):
    config = _note("art", path)
    parts = path.split("/")  # ['', 'art', service, tag, file]
    if len(parts) < 5:
        return None
    return _art(path, config, "%s-%s" % (parts[2], parts[3]))


def _art(path, config, tag):
    mode = config.get("mode", "ok")
    if mode == "hang":
        return {"path": path, "hang": True}
    if mode == "error":
        return {"path": path, "status": 404, "body": b"Not Found", "content_type": "text/plain"}
    body = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + ("tag:%s;" % tag).encode()
    if mode == "html":
        body = b"<!DOCTYPE html><html><body>no picture</body></html>"
    answer = {"path": path, "status": 200, "content_type": "image/jpeg", "body": body + b"\x00" * (4096 - len(body))}
    if mode == "slow" or config.get("delay_ms"):
        answer["delay_ms"] = int(config.get("delay_ms", 1500))
    return answer


def control_get(handler, path, query):
    with LOCK:
        body = json.dumps({"counts": STATE["counts"], "queries": STATE["queries"], "times": STATE["times"]})
    return {"path": path, "status": 200, "body": body, "content_type": "application/json"}


def setup(args):
    BASE["url"] = "http://%s:%d" % (args.host, args.bound_port)
    simulator.register_handler("/itunes/search", itunes)
    simulator.register_handler("/deezer/search", deezer)
    simulator.register_handler("/musicbrainz/ws/2/recording", musicbrainz)
    simulator.register_handler("/caa/", coverartarchive)
    simulator.register_handler("/art/", art)
    simulator.register_handler("/_sim/albumart", control_get)
    original_post = simulator.Handler.do_POST

    def do_post(self):
        if self.path == "/_sim/albumart":
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
