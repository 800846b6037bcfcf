#!/usr/bin/env python3
"""Draws the program's icon (a radio mast sending waves on a dark rounded square) and writes it
as a Windows .ico with the sizes 64, 48, 32, 24 and 16.

The drawing is computed here pixel by pixel (4 x 4 samples per pixel), so the same script gives
the same icon on every machine; ImageMagick's `convert` only scales it and packs the .ico.
Usage: make_icon.py <output.ico>
"""
import math
import os
import subprocess
import sys
import tempfile

SIZE = 256
BACKGROUND = (0x25, 0x2B, 0x34)
ACCENT = (0x58, 0xA6, 0xFF)
LIGHT = (0xF0, 0xF6, 0xFC)
CENTRE = (128.0, 150.0)


def inside_rounded_square(x, y, inset, radius):
    lo, hi = inset, SIZE - inset
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def on_wave(x, y):
    dx, dy = x - CENTRE[0], y - CENTRE[1]
    r = math.hypot(dx, dy)
    if dy >= 0 or abs(dx) > -dy * math.tan(math.radians(52)):
        return False
    return any(abs(r - ring) <= 9 for ring in (56, 94))


def colour_at(x, y):
    """The colour of one sample, or None outside the icon."""
    if not inside_rounded_square(x, y, 8, 48):
        return None
    if not inside_rounded_square(x, y, 18, 38):
        return ACCENT
    dx, dy = x - CENTRE[0], y - CENTRE[1]
    if dx * dx + dy * dy <= 22 ** 2 or (abs(dx) <= 9 and CENTRE[1] <= y <= 214):
        return LIGHT
    if on_wave(x, y):
        return ACCENT
    return BACKGROUND


def render():
    samples = 4
    pixels = bytearray()
    for py in range(SIZE):
        for px in range(SIZE):
            total = [0, 0, 0]
            covered = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at(px + (sx + 0.5) / samples, py + (sy + 0.5) / samples)
                    if c is not None:
                        covered += 1
                        for i in range(3):
                            total[i] += c[i]
            if covered:
                pixels += bytes(round(t / covered) for t in total)
            else:
                pixels += b"\0\0\0"
            pixels.append(round(255 * covered / samples ** 2))
    return bytes(pixels)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    header = "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (SIZE, SIZE)
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "icon.pam")
        with open(source, "wb") as f:
            f.write(header.encode("ascii") + render())
        subprocess.run(["convert", source, "-define", "icon:auto-resize=64,48,32,24,16", sys.argv[1]], check=True)


if __name__ == "__main__":
    main()
