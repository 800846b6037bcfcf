#!/usr/bin/env python3
"""The demo station's covers: the same title always gives the same pictures, its variants and
other titles give others, every title (long, accented, other scripts, empty) gives a whole
picture, and the search answers with covers of the title asked for in each format."""
import base64
import os
import struct
import sys
import types
import unittest
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "station_simulator"))
import album_art  # noqa: E402
import sim_demo  # noqa: E402


def png_size(data):
    """Width and height of a PNG whose chunks all check out; the pixel rows are inflated too."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, size = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc, kind
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    assert len(zlib.decompress(idat)) == size[1] * (1 + 3 * size[0])
    return size


class DemoCovers(unittest.TestCase):
    def test_same_title_same_cover_and_variants_differ(self):
        first = [album_art.cover("Marta Velin", "Northern Lights", v) for v in range(4)]
        again = [album_art.cover("Marta Velin", "Northern Lights", v) for v in range(4)]
        self.assertEqual(first, again)
        self.assertEqual(len(set(first)), 4)
        self.assertNotEqual(first[0], album_art.cover("Marta Velin", "Southern Lights", 0))

    def test_every_title_gives_a_whole_picture(self):
        titles = [("", ""), ("Ana\u00efs Moreau", "Caf\u00e9 de la Nuit"), ("Yuki Tanabe", "\u6708\u306e\u5149"),
                  ("A" * 300, "B " * 300), ("Mirel & Tenvo", "Borrowed Light (Live) :: 0042")]
        for artist, title in titles:
            with self.subTest(artist=artist[:20], title=title[:20]):
                self.assertEqual(png_size(album_art.cover(artist, title, 1)), (240, 240))
        self.assertEqual(png_size(album_art.cover("Kessa Quartet", "Paper Boats", 0, size=120)), (120, 120))

    def test_search_answers_with_covers_of_the_title(self):
        handler = types.SimpleNamespace(headers={"Host": "127.0.0.1:9"})
        query = "Kessa Quartet - Paper Boats album cover"
        page = sim_demo.search_page(handler, "/demo/images/async", "q=" + query.replace(" ", "+"))["body"]
        urls = [part.split("&quot;")[0] for part in page.split("&quot;murl&quot;:&quot;")[1:]]
        self.assertEqual(len(urls), sim_demo.COVERS_PER_TITLE)
        self.assertEqual(sim_demo.artist_and_title(query), ("Kessa Quartet", "Paper Boats"))
        heads = {"png": b"\x89PNG", "jpg": b"\xff\xd8\xff", "webp": b"RIFF"}
        for url in urls:
            path, _, q = url.partition("?")
            answer = sim_demo.picture_route(handler, path.split("127.0.0.1:9", 1)[1], q)
            body = base64.b64decode(answer["body_b64"])
            ext = path.rsplit(".", 1)[1]
            with self.subTest(url=url):
                # Without ImageMagick the PNG stands in for the other formats.
                self.assertTrue(body.startswith(heads[ext]) or body.startswith(heads["png"]))
                self.assertGreater(len(body), 2048)
            if ext == "png":  # the cover drawn for the title, as it is
                variant = int(path.rsplit("/", 1)[1].split(".")[0])
                self.assertEqual(body, album_art.cover("Kessa Quartet", "Paper Boats", variant))


if __name__ == "__main__":
    unittest.main()
