"""Cover pictures for the simulator, made with the Python standard library (PNG) or, when it is
installed, ImageMagick (JPEG, WebP)."""
import random
import shutil
import struct
import subprocess
import zlib


def png(width, height, rgb, noise=24, seed=1):
    """A PNG of one colour with some noise, so that it is never tiny (at least a few KB)."""
    rnd = random.Random(seed)
    rows = bytearray()
    for _ in range(height):
        rows.append(0)
        for _ in range(width):
            for c in rgb:
                rows.append(max(0, min(255, c + rnd.randint(-noise, noise))) if noise else c)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))


def converted(png_bytes, fmt):
    """The PNG converted to 'jpeg' or 'webp' with ImageMagick; None when that is not possible."""
    if shutil.which("convert") is None:
        return None
    try:
        out = subprocess.run(["convert", "png:-", f"{fmt}:-"], input=png_bytes, capture_output=True,
                             timeout=30, check=True).stdout
        return out or None
    except (subprocess.SubprocessError, OSError):
        return None
