"""The station's own answers: per-channel now-playing texts and an Icecast 2.4 status document.

  GET  /nowplaying/<id>     the channel's now-playing text (404 while none is set)
  GET  /status-json.xsl     the status document, generated from the mounts set below
  GET  /_station/redirect?to=<target>   302 to target (for redirect tests)
  POST /_sim/station        JSON, any of:
         {"reset": true}                                  forget every channel and mount
         {"channel": "ostrel", "text": "Artist - Song"}   the channel's now-playing text
                                                          (null: unset)
         {"mount": "ostrel-160", "title": "...", "fields": {...}}
                                                          create or update a source; "title":
                                                          null removes the title member,
                                                          "fields" adds or overrides members
                                                          (a null value removes one)
         {"mount": "ostrel-160", "remove": true}          drop the source
         {"orders": [{...}, {...}]}                       several of the above in one step

The status document is written the way Icecast 2.4 writes it from its sorted statistics tree:
no white space, members in alphabetical order, sources sorted by mount name, one source as an
object and several as an array, each ending in "dummy":null, and the "source" member left out
when there is none. Strings escape only '"', '\\', TAB, CR and LF (every other byte, '/' and
non-ASCII UTF-8 included, stays raw). A title that is only digits is written as a number,
"true"/"false" in any case as a boolean, an empty title as null.
"""
import json
import threading
import urllib.parse

import simulator

STATE_LOCK = threading.Lock()
TEXTS = {}
MOUNTS = {}
HOST = {"name": "127.0.0.1"}


def icecast_string(text):
    out = []
    for ch in text:
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def icecast_value(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return str(value)
    return icecast_string(str(value))


def title_value(title):
    if title == "":
        return "null"
    if title.isascii() and title.isdigit():
        return title
    if title.lower() in ("true", "false"):
        return title.lower()
    return icecast_string(title)


def default_source(mount):
    return {
        "audio_info": "bitrate=160" if mount.endswith("-160") else "bitrate=128",
        "bitrate": 160 if mount.endswith("-160") else 128,
        "genre": "Various",
        "listener_peak": 3,
        "listeners": 1,
        "listenurl": "http://%s:8000/%s" % (HOST["name"], mount),
        "server_description": "Station description",
        "server_name": "Station name",
        "server_type": "audio/mpeg",
        "server_url": "http://%s/" % HOST["name"],
        "stream_start": "Mon, 01 Jan 2024 00:00:00 +0000",
        "stream_start_iso8601": "2024-01-01T00:00:00+0000",
    }


def source_json(mount, source):
    members = []
    for key in sorted(source):
        if key == "title":
            members.append('"title":' + title_value(source[key]))
        else:
            members.append(icecast_string(key) + ":" + icecast_value(source[key]))
    members.append('"dummy":null')
    return "{" + ",".join(members) + "}"


def status_document():
    with STATE_LOCK:
        mounts = sorted(MOUNTS.items())
    stats = [
        '"admin":"icemaster@localhost"',
        '"host":%s' % icecast_string(HOST["name"]),
        '"location":"Earth"',
        '"server_id":"Icecast 2.4.4"',
        '"server_start":"Mon, 01 Jan 2024 00:00:00 +0000"',
        '"server_start_iso8601":"2024-01-01T00:00:00+0000"',
    ]
    if len(mounts) == 1:
        stats.append('"source":' + source_json(*mounts[0]))
    elif mounts:
        stats.append('"source":[' + ",".join(source_json(m, s) for m, s in mounts) + "]")
    return '{"icestats":{' + ",".join(stats) + "}}"


def control(order):
    for each in order.get("orders") or []:
        control(each)
    with STATE_LOCK:
        if order.get("reset"):
            TEXTS.clear()
            MOUNTS.clear()
        if "channel" in order:
            if order.get("text") is None:
                TEXTS.pop(order["channel"], None)
            else:
                TEXTS[order["channel"]] = order["text"]
        if "mount" in order:
            mount = order["mount"]
            if order.get("remove"):
                MOUNTS.pop(mount, None)
                return
            source = MOUNTS.setdefault(mount, default_source(mount))
            if "title" in order:
                if order["title"] is None:
                    source.pop("title", None)
                else:
                    source["title"] = order["title"]
            for key, value in (order.get("fields") or {}).items():
                if value is None:
                    source.pop(key, None)
                else:
                    source[key] = value


def handle_nowplaying(handler, path, query):
    channel = urllib.parse.unquote(path[len("/nowplaying/"):])
    with STATE_LOCK:
        text = TEXTS.get(channel)
    if text is None:
        return None
    return {"status": 200, "body": text, "content_type": "text/plain; charset=utf-8"}


def handle_status(handler, path, query):
    if path != "/status-json.xsl":
        return None
    return {"status": 200, "body": status_document(), "content_type": "application/json; charset=utf-8"}


def handle_redirect(handler, path, query):
    target = urllib.parse.parse_qs(query).get("to", ["/"])[0]
    return {"redirect": target}


def setup(args):
    HOST["name"] = args.host
    simulator.register_handler("/nowplaying/", handle_nowplaying)
    simulator.register_handler("/status-json.xsl", handle_status)
    simulator.register_handler("/_station/redirect", handle_redirect)

    handler_class = simulator.Handler
    plain_post = handler_class.do_POST
    plain_serve = handler_class._serve

    def do_POST(self):
        if self.path == "/_sim/station":
            length = int(self.headers.get("Content-Length") or 0)
            data = self.rfile.read(length) if length else b""
            try:
                control(json.loads(data.decode("utf-8")))
            except (ValueError, KeyError, TypeError, AttributeError) as e:
                self._reply(400, str(e).encode())
                return
            self._reply(200, b"ok")
            return
        if self.path == "/_sim/reset":
            control({"reset": True})
        plain_post(self)

    def _serve(self, order):
        if "redirect" in order:
            self._reply(302, b"", "text/plain", {"Location": order["redirect"]})
            return
        plain_serve(self, order)

    handler_class.do_POST = do_POST
    handler_class._serve = _serve
