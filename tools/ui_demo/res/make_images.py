#!/usr/bin/env python3
"""Writes the demonstration dialog's images (run once; the PNGs are kept in the repository)."""
import struct
import zlib


def png(path, width, height, pixel):
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


def background(x, y):
    # A dark blue gradient with a lighter panel where the channel list's face sits.
    if 180 <= x < 300 and 20 <= y < 80:
        return (58, 74, 104, 255)
    if 10 <= x < 170 and 100 <= y < 190:
        return (46, 60, 88, 255)
    return (20 + y // 8, 30 + y // 6, 60 + x // 8, 255)


def overlay(x, y):
    # Half-transparent black over the lower half, clear elsewhere.
    return (0, 0, 0, 127) if y >= 100 else (0, 0, 0, 0)


def sample(x, y):
    # Distinct pixels, some translucent, for pixel-exact drawing checks.
    return ((x * 15) % 256, (y * 19) % 256, (x * y * 7) % 256, 255 if (x + y) % 5 else 128)


def icon(x, y):
    d = (x - 7.5) ** 2 + (y - 7.5) ** 2
    return (230, 120, 20, 255) if d < 49 else (0, 0, 0, 0)


png("background.png", 320, 200, background)
png("overlay.png", 320, 200, overlay)
png("sample.png", 17, 13, sample)
png("icon.png", 16, 16, icon)
