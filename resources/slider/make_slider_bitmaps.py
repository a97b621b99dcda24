#!/usr/bin/env python3
"""Draws the seek slider's bitmaps: the track (240 x 39) and the thumb
(30 x 38) in its normal, highlighted and clicked looks. Run it once after a
change and commit the PNGs; plain Python, no imaging library needed."""
import struct
import zlib


def write_png(path, width, height, pixel):
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


PANEL = (192, 192, 192)


def track(x, y):
    # A sunken groove across the middle of a silver panel.
    if 16 <= y <= 22 and 3 <= x <= 236:
        if y == 16 or x == 3:
            return (96, 96, 96)
        if y == 22 or x == 236:
            return (240, 240, 240)
        return mix((40, 40, 48), (80, 80, 96), (y - 17) / 5)
    return PANEL


def thumb(face, edge):
    def pixel(x, y):
        # A raised knob with a light top-left and a dark bottom-right rim and
        # three grip lines in the middle.
        if x in (0, 29) and y in (0, 37):
            return PANEL
        if x == 0 or y == 0:
            return mix(face, (255, 255, 255), 0.7)
        if x == 29 or y == 37:
            return edge
        if x == 28 or y == 36:
            return mix(face, edge, 0.5)
        if y in range(14, 24) and x in (10, 14, 18):
            return mix(face, edge, 0.6)
        return mix(mix(face, (255, 255, 255), 0.35), face, y / 37)
    return pixel


write_png("track.png", 240, 39, track)
write_png("thumb_normal.png", 30, 38, thumb((112, 128, 160), (32, 40, 64)))
write_png("thumb_highlighted.png", 30, 38, thumb((96, 160, 232), (24, 56, 112)))
write_png("thumb_clicked.png", 30, 38, thumb((232, 144, 48), (112, 56, 8)))
