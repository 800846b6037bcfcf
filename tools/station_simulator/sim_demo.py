"""The demo station: eight channels whose titles change every 20 to 30 seconds (on their
endpoints and in the status document, where their listeners come and go), an image search
that answers with four album covers drawn for the title asked for (JPEG, PNG and WebP).

Active only with --demo. The channels' now-playing texts are at /nowplaying-<id>.txt, the search
at /demo/images/async and the covers at /demo/pic/<n>.<ext>?q=<search text>.
"""
import hashlib
import random
import sys
import threading
import urllib.parse

import album_art
import pictures
import simulator

CHANNELS = ["ostrel", "pavo", "lumo", "siro", "orvel", "mirel", "tenvo", "kessa"]
NAMES = ["Ostrel", "Retro (Pavo)", "Modern (Lumo)", "Orchestral (Siro)", "Orvel", "Mirel",
         "Alternative (Tenvo)", "Kessa"]

TITLES = [
    "TOVREL Radio | Marta Velin - Northern Lights",
    "Sergei Olund - Glass River [Live at Harbour Hall]",
    "TOVREL Hi-Res | Ana\u00efs Moreau - Caf\u00e9 de la Nuit",
    "J\u00f8rn Haldorsen - Fjellvind :: 2231",
    "TOVREL Made by AI | Synthetic Dawn - Circuit Bloom",
    "Yuki Tanabe - \u6708\u306e\u5149 (Moonlight)",
    "The Lantern Keepers - Slow Tide [Remastered 2019]",
    "Dvo\u0159\u00e1k Ensemble - Largo \u2022 New World",
    "Ola Grim - Winter Tram :: 1187",
    "Kessa Quartet - Paper Boats",
    "Nadia Petrova - \u041d\u043e\u0447\u043d\u043e\u0439 \u0433\u043e\u0440\u043e\u0434",
    "Lumo Collective - Neon Rain",
    "Siro Philharmonic - Prelude in E minor [Live]",
    "Mirel & Tenvo - Borrowed Light",
    "Pavo Brass - Sunday Swing :: 0042",
    "TOVREL Radio | Orvel Trio - Late Train Home",
]

PICTURES = {}
LOCK = threading.Lock()
COVERS_PER_TITLE = 4
SEARCH_SUFFIX = " album cover"


def artist_and_title(query):
    """The artist and the title in a search text ("Artist - Title album cover")."""
    text = query[:-len(SEARCH_SUFFIX)] if query.endswith(SEARCH_SUFFIX) else query
    artist, sep, title = text.partition(" - ")
    return (artist.strip(), title.strip()) if sep else ("", text.strip())


def picture(query, variant, ext):
    """Cover number variant of the title searched for, as PNG, JPEG or WebP."""
    key = (query, variant, ext)
    with LOCK:
        if key in PICTURES:
            return PICTURES[key]
    artist, title = artist_and_title(query)
    base = album_art.cover(artist, title, variant)
    data = base if ext == "png" else pictures.converted(base, "jpeg" if ext == "jpg" else "webp") or base
    with LOCK:
        if len(PICTURES) > 512:  # a long demo: keep the memory bounded
            PICTURES.clear()
        PICTURES[key] = data
    return data


def search_page(handler, path, query):
    q = urllib.parse.parse_qs(query).get("q", [""])[0]
    seed = int(hashlib.sha1(q.encode("utf-8")).hexdigest()[:8], 16)
    host = handler.headers.get("Host", "127.0.0.1")
    exts = ["jpg", "png", "webp"]
    quoted = urllib.parse.quote(q, safe="")
    urls = [f"http://{host}/demo/pic/{k}.{exts[(seed + k) % 3]}?q={quoted}" for k in range(COVERS_PER_TITLE)]
    body = "".join(f'<a class="iusc" m="{{&quot;murl&quot;:&quot;{u}&quot;}}"></a>' for u in urls)
    return {"status": 200, "body": body, "content_type": "text/html; charset=utf-8"}


def picture_route(handler, path, query):
    name = path.rsplit("/", 1)[-1]
    stem, _, ext = name.partition(".")
    if not stem.isdigit() or ext not in ("jpg", "png", "webp"):
        return None
    q = urllib.parse.parse_qs(query).get("q", [""])[0]
    import base64
    ctype = {"jpg": "image/jpeg", "png": "image/png", "webp": "image/webp"}[ext]
    return {"status": 200, "body_b64": base64.b64encode(picture(q, int(stem), ext)).decode(), "content_type": ctype}


def rotate_titles(stop):
    rnd = random.Random()
    current = {}
    next_change = {}
    listeners = {ch: rnd.randint(0, 40) for ch in CHANNELS}
    next_count = 0
    import time
    while not stop.is_set():
        station = sys.modules.get("sim_station")
        if station is None:  # loaded after this module: wait for it
            stop.wait(0.1)
            continue
        now = time.monotonic()
        orders = []
        for ch in CHANNELS:
            if now >= next_change.get(ch, 0):
                choices = [t for t in TITLES if t != current.get(ch)]
                current[ch] = rnd.choice(choices)
                next_change[ch] = now + rnd.uniform(20, 30)
                simulator.set_answer({"path": f"/nowplaying-{ch}.txt", "body": current[ch]})
                orders.append(ch)
        if now >= next_count:
            # Listeners tune in and out every 10 seconds or so.
            next_count = now + rnd.uniform(8, 12)
            for ch in CHANNELS:
                listeners[ch] = max(0, listeners[ch] + rnd.randint(-3, 3))
            orders = CHANNELS
        if orders:
            station.control({"orders": [
                {"mount": f"{ch}-{kind}", "title": current[ch],
                 "fields": {"listeners": listeners[ch] // 2 + (listeners[ch] % 2 if kind == "160" else 0)}}
                for ch in orders for kind in ("160", "mp3")]})
        stop.wait(0.5)


def setup(args):
    if not getattr(args, "demo", False):
        return
    simulator.register_handler("/demo/images/async", search_page)
    simulator.register_handler("/demo/pic/", picture_route)
    threading.Thread(target=rotate_titles, args=(simulator.STOP,), daemon=True).start()
