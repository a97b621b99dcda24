#!/usr/bin/env python3
"""Draws the program's icon (a dish under a red recording dot on a navy
tile) as mellowcaster.svg and as PNGs of the sizes desktops ask for. Run it
once after a change and commit the files; plain Python, no imaging library."""
import math
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
NAVY = (20, 40, 120)
NAVY_LIGHT = (60, 100, 190)
DISH = (225, 230, 240)
RED = (220, 30, 30)


def write_png(path, size, pixel):
    rows = b"".join(b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(size)) for y in range(size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


# The shapes in a 0..1 square, each a test of a point; painted back to front.
def tile(u, v):
    r = 0.18
    dx = max(abs(u - 0.5) - (0.5 - r), 0)
    dy = max(abs(v - 0.5) - (0.5 - r), 0)
    return dx * dx + dy * dy <= r * r


def dish(u, v):
    # A bowl: the lower half of a tilted ellipse, thick rim.
    x, y = u - 0.42, v - 0.40
    c, s = math.cos(-0.6), math.sin(-0.6)
    a, b = x * c - y * s, x * s + y * c
    return (a / 0.33) ** 2 + (b / 0.30) ** 2 <= 1 and b >= 0


def arm(u, v):
    # The feed arm from the bowl's centre up to the right, and the foot.
    px, py, qx, qy = 0.42, 0.48, 0.66, 0.24
    t = max(0, min(1, ((u - px) * (qx - px) + (v - py) * (qy - py)) / ((qx - px) ** 2 + (qy - py) ** 2)))
    d = math.hypot(u - (px + t * (qx - px)), v - (py + t * (qy - py)))
    foot = abs(u - 0.36) <= 0.04 and 0.62 <= v <= 0.84 or abs(v - 0.84) <= 0.035 and 0.22 <= u <= 0.50
    return d <= 0.035 or foot


def dot(u, v):
    return math.hypot(u - 0.72, v - 0.72) <= 0.17


def colour(u, v):
    if not tile(u, v):
        return None
    if dot(u, v):
        return RED
    if dish(u, v) or arm(u, v):
        return DISH
    t = v
    return tuple(NAVY_LIGHT[i] + (NAVY[i] - NAVY_LIGHT[i]) * t for i in range(3))


def pixel_of(size):
    n = 4  # samples a side
    def pixel(x, y):
        acc = [0.0, 0.0, 0.0]
        hits = 0
        for i in range(n):
            for j in range(n):
                c = colour((x + (i + 0.5) / n) / size, (y + (j + 0.5) / n) / size)
                if c:
                    hits += 1
                    for k in range(3):
                        acc[k] += c[k]
        if not hits:
            return (0, 0, 0, 0)
        return tuple(int(round(a / hits)) for a in acc) + (int(round(255 * hits / (n * n))),)
    return pixel


SVG = """<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 1 1">
  <defs>
    <linearGradient id="tile" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="rgb{light}"/>
      <stop offset="1" stop-color="rgb{navy}"/>
    </linearGradient>
    <clipPath id="lower"><rect x="-1" y="0" width="2" height="1"/></clipPath>
  </defs>
  <rect width="1" height="1" rx="0.18" fill="url(#tile)"/>
  <g transform="translate(0.42 0.40) rotate({deg})">
    <ellipse rx="0.33" ry="0.30" fill="rgb{dish}" clip-path="url(#lower)"/>
  </g>
  <line x1="0.42" y1="0.48" x2="0.66" y2="0.24" stroke="rgb{dish}" stroke-width="0.07" stroke-linecap="round"/>
  <rect x="0.32" y="0.62" width="0.08" height="0.22" fill="rgb{dish}"/>
  <rect x="0.22" y="0.805" width="0.28" height="0.07" fill="rgb{dish}"/>
  <circle cx="0.72" cy="0.72" r="0.17" fill="rgb{red}"/>
</svg>
"""

if __name__ == "__main__":
    for size in SIZES:
        write_png("mellowcaster-%d.png" % size, size, pixel_of(size))
    with open("mellowcaster.svg", "w") as f:
        f.write(SVG.format(light=NAVY_LIGHT, navy=NAVY, dish=DISH, red=RED, deg=round(math.degrees(0.6), 2)))
