"""Album covers for the demo station, drawn with the Python standard library.

cover(artist, title, variant) gives a square RGB picture as PNG bytes: the same arguments always
give the same bytes. The design (colour fields, rings, stripes, a grid of tiles, a landscape, a
sunburst), the palette and the layout of the type follow from a hash of the artist, the title and
the variant, so every title has covers of its own and its variants differ from each other.
The artist and the title are set in a 5x7 bitmap font (capitals, figures and common marks;
accents are dropped, Cyrillic is spelt in Latin letters and other scripts are left out).
"""
import hashlib
import math
import random
import struct
import unicodedata
import zlib

# 5x7 glyphs, one string of five columns per row ('#' set).
_GLYPHS = {
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "B": ["#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "D": ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "F": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "],
    "G": [" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "I": [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "J": ["  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "K": ["#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "M": ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    "N": ["#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "P": ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "T": ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "W": ["#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "],
    "X": ["#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"],
    "Y": ["#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "],
    "Z": ["#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"],
    "0": [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    "1": ["  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "2": [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    "3": ["#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "],
    "4": ["   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "],
    "5": ["#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "],
    "6": ["  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "],
    "7": ["#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "],
    "8": [" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "],
    "9": [" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "],
    "-": ["     ", "     ", "     ", " ### ", "     ", "     ", "     "],
    "&": [" ##  ", "#  # ", "# #  ", " #   ", "# # #", "#  # ", " ## #"],
    "'": ["  #  ", "  #  ", " #   ", "     ", "     ", "     ", "     "],
    ".": ["     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "],
    ",": ["     ", "     ", "     ", "     ", " ##  ", "  #  ", " #   "],
    "!": ["  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "     ", "  #  "],
    "?": [" ### ", "#   #", "    #", "   # ", "  #  ", "     ", "  #  "],
    "(": ["   # ", "  #  ", " #   ", " #   ", " #   ", "  #  ", "   # "],
    ")": [" #   ", "  #  ", "   # ", "   # ", "   # ", "  #  ", " #   "],
    ":": ["     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "],
    "/": ["    #", "    #", "   # ", "  #  ", " #   ", "#    ", "#    "],
    " ": ["     "] * 7,
}

# Palettes: background, two accents, the type's colour.
_PALETTES = [
    [(236, 226, 204), (200, 64, 44), (32, 56, 92), (28, 28, 28)],
    [(18, 22, 38), (240, 176, 64), (220, 72, 120), (244, 240, 230)],
    [(24, 96, 88), (240, 212, 140), (232, 110, 72), (250, 246, 236)],
    [(242, 238, 232), (30, 30, 30), (210, 40, 40), (20, 20, 20)],
    [(60, 32, 82), (250, 120, 90), (255, 206, 120), (255, 244, 230)],
    [(200, 220, 230), (30, 70, 120), (240, 150, 60), (16, 32, 56)],
    [(34, 34, 34), (120, 200, 170), (230, 230, 220), (240, 240, 240)],
    [(250, 204, 60), (24, 24, 24), (226, 80, 40), (24, 24, 24)],
    [(120, 30, 40), (236, 200, 150), (40, 20, 24), (250, 236, 220)],
    [(220, 232, 212), (70, 120, 60), (30, 50, 40), (30, 50, 40)],
]


# Cyrillic capitals in Latin letters (the font has no others).
_CYRILLIC = dict(zip("АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ",
                     ["A", "B", "V", "G", "D", "E", "E", "ZH", "Z", "I", "Y", "K", "L", "M", "N", "O", "P", "R",
                      "S", "T", "U", "F", "KH", "TS", "CH", "SH", "SHCH", "", "Y", "", "E", "YU", "YA"]))


def _text(s):
    """The text in the font's characters: accents dropped, Cyrillic spelt in Latin letters, other
    scripts left out."""
    out = []
    for ch in "".join(_CYRILLIC.get(c, c) for c in s.upper()):
        ch = unicodedata.normalize("NFKD", ch)[:1]
        if ch in _GLYPHS:
            out.append(ch)
        elif ch in "\u2022\u00b7|_":
            out.append(" ")
    return " ".join("".join(out).split())


class _Canvas:
    def __init__(self, size, rgb):
        self.size = size
        self.px = bytearray(bytes(rgb) * (size * size))

    def fill(self, x0, y0, x1, y1, rgb):
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.size, int(x1)), min(self.size, int(y1))
        if x1 <= x0:
            return
        row = bytes(rgb) * (x1 - x0)
        for y in range(y0, y1):
            start = (y * self.size + x0) * 3
            self.px[start:start + len(row)] = row

    def shape(self, inside, rgb, box=None):
        """Paints every pixel for which inside(x, y) holds (within box, the whole picture if None)."""
        x0, y0, x1, y1 = box or (0, 0, self.size, self.size)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.size, int(x1)), min(self.size, int(y1))
        colour = bytes(rgb)
        for y in range(y0, y1):
            base = y * self.size
            for x in range(x0, x1):
                if inside(x, y):
                    i = (base + x) * 3
                    self.px[i:i + 3] = colour

    def disc(self, cx, cy, r, rgb):
        r2 = r * r
        self.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r2, rgb, (cx - r, cy - r, cx + r + 1, cy + r + 1))

    def text(self, s, x, y, scale, rgb, width=None):
        """Draws s from (x, y); width: the longest the line may be (cut to fit)."""
        step = 6 * scale
        if width is not None:
            s = s[:max(0, int(width // step))]
        for n, ch in enumerate(s):
            glyph = _GLYPHS.get(ch, _GLYPHS[" "])
            for gy, row in enumerate(glyph):
                for gx, cell in enumerate(row):
                    if cell == "#":
                        px = x + n * step + gx * scale
                        py = y + gy * scale
                        self.fill(px, py, px + scale, py + scale, rgb)

    def grain(self, rnd, amount):
        """A little print grain, so that the flat colours look like paper."""
        px = self.px
        noise = bytes(rnd.randint(0, amount) for _ in range(4096))
        for i in range(0, len(px), 3):
            d = noise[(i // 3) % 4093] - amount // 2
            for c in range(3):
                v = px[i + c] + d
                px[i + c] = 0 if v < 0 else 255 if v > 255 else v

    def png(self):
        rows = bytearray()
        stride = self.size * 3
        for y in range(self.size):
            rows.append(0)
            rows += self.px[y * stride:(y + 1) * stride]

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data +
                    struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.size, self.size, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))


def _mix(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t) for i in range(3))


def _fields(c, rnd, pal, n):
    bands = rnd.randint(2, 4)
    top = n * 0.08
    height = n * 0.62 / bands
    for k in range(bands):
        colour = pal[1 + k % 2] if k % 3 != 2 else _mix(pal[1], pal[2], 0.5)
        c.fill(n * 0.08, top + k * height + 3, n * 0.92, top + (k + 1) * height - 3, colour)


def _rings(c, rnd, pal, n):
    cx, cy = n * rnd.uniform(0.35, 0.65), n * rnd.uniform(0.3, 0.45)
    rings = rnd.randint(4, 8)
    outer = n * rnd.uniform(0.28, 0.4)
    for k in range(rings):
        c.disc(cx, cy, outer * (1 - k / rings), pal[1 + k % 2])


def _stripes(c, rnd, pal, n):
    width = rnd.randint(10, 26)
    slope = rnd.choice([-1, 1])
    c.shape(lambda x, y: ((x + slope * y) // width) % 3 == 0, pal[1], (0, 0, n, n * 0.7))
    c.shape(lambda x, y: ((x + slope * y) // width) % 3 == 1, pal[2], (0, 0, n, n * 0.7))


def _tiles(c, rnd, pal, n):
    cells = rnd.choice([3, 4, 5])
    size = n * 0.84 / cells
    for gy in range(cells - 1):
        for gx in range(cells):
            x, y = n * 0.08 + gx * size, n * 0.06 + gy * size
            kind = rnd.randint(0, 3)
            colour = pal[1 + rnd.randint(0, 1)]
            if kind == 0:
                c.fill(x + 2, y + 2, x + size - 2, y + size - 2, colour)
            elif kind == 1:
                c.disc(x + size / 2, y + size / 2, size / 2 - 2, colour)
            elif kind == 2:
                c.shape(lambda px, py, x=x, y=y: px - x > py - y, colour, (x + 2, y + 2, x + size - 2, y + size - 2))


def _landscape(c, rnd, pal, n):
    sky_bottom = n * 0.66
    for y in range(int(sky_bottom)):
        c.fill(0, y, n, y + 1, _mix(pal[0], pal[2], y / sky_bottom * 0.6))
    c.disc(n * rnd.uniform(0.25, 0.75), n * rnd.uniform(0.2, 0.35), n * rnd.uniform(0.08, 0.14), pal[1])
    for layer in range(3):
        phase, amp = rnd.uniform(0, 6.28), n * rnd.uniform(0.03, 0.08)
        base = n * (0.42 + 0.08 * layer)
        freq = rnd.uniform(1.5, 4.0) / n * 6.28
        colour = _mix(pal[2], pal[3], layer / 3)
        c.shape(lambda x, y, b=base, a=amp, p=phase, f=freq: y > b + a * math.sin(x * f + p), colour,
                (0, base - amp, n, sky_bottom))


def _sunburst(c, rnd, pal, n):
    cx, cy = n * 0.5, n * rnd.uniform(0.3, 0.4)
    rays = rnd.choice([12, 16, 20, 24])
    turn = rnd.uniform(0, 1)
    c.shape(lambda x, y: int((math.atan2(y - cy, x - cx) / 6.2832 + turn) * rays) % 2 == 0, pal[1], (0, 0, n, n * 0.7))
    c.disc(cx, cy, n * 0.12, pal[2])


_DESIGNS = [_fields, _rings, _stripes, _tiles, _landscape, _sunburst]


def cover(artist, title, variant=0, size=240):
    """A cover for the title: PNG bytes, the same for the same arguments."""
    digest = hashlib.sha256(f"{artist}\x00{title}\x00{variant}".encode("utf-8")).digest()
    rnd = random.Random(digest)
    title_seed = hashlib.sha256(f"{artist}\x00{title}".encode("utf-8")).digest()
    # The variants of a title keep its palette family but change design and layout.
    pal = list(_PALETTES[(title_seed[0] + variant * 3) % len(_PALETTES)])
    if rnd.random() < 0.3:
        pal[1], pal[2] = pal[2], pal[1]
    c = _Canvas(size, pal[0])
    _DESIGNS[(title_seed[1] + variant) % len(_DESIGNS)](c, rnd, pal, size)

    scale = 3 if size >= 200 else 2
    band_top = int(size * 0.72)
    if rnd.random() < 0.5:  # a band under the type
        c.fill(0, band_top - 4, size, size, _mix(pal[0], pal[3], 0.12))
    margin = int(size * 0.08)
    width = size - 2 * margin
    a, t = _text(artist), _text(title)
    big = scale if len(a) * 6 * scale <= width else max(1, scale - 1)  # a long name in smaller type
    c.text(a, margin, band_top + 4, big, pal[3], width)
    c.text(t, margin, band_top + 8 + 8 * big, max(1, scale - 1), pal[3], width)
    c.grain(rnd, 10)
    return c.png()
