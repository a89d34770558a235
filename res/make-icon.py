#!/usr/bin/env python3
"""Draws the application icon reproducibly into one .ico file: a blue rounded square with a white play
mark over an amber download bar, as 32-bit PNG images of 16, 32, 48, 64, 128 and 256 pixels.

Edges are antialiased by supersampling; at the small sizes the bar is snapped to whole pixels so that
it stays crisp. The output depends only on this script (fixed zlib level, no timestamps)."""
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)

CORNER = 0.20  # radius of the rounded square, in icon widths
TOP = (33, 118, 232)  # gradient of the square, top to bottom
BOTTOM = (12, 72, 178)
TRACK = (255, 255, 255, 90)  # the bar's track, white over the square
FILL = (255, 190, 46)  # the bar's filled part
PLAY = (255, 255, 255)


def inside_square(u, v):
    cx = min(max(u, CORNER), 1 - CORNER)
    cy = min(max(v, CORNER), 1 - CORNER)
    return (u - cx) ** 2 + (v - cy) ** 2 <= CORNER * CORNER


def inside_play(u, v):
    # Triangle pointing right: left edge at x0, tip at x1, centred on yc.
    x0, x1, yc, half = 0.38, 0.70, 0.42, 0.19
    if u < x0 or u > x1:
        return False
    return abs(v - yc) <= half * (x1 - u) / (x1 - x0)


def bar_geometry(n):
    left, right, top, bottom, split = 0.22, 0.78, 0.72, 0.80, 0.58
    if n <= 32:  # whole pixels at the small sizes
        snap = lambda t: round(t * n) / n
        left, right, top, bottom, split = snap(left), snap(right), snap(top), snap(bottom), snap(split)
        if bottom - top < 1.0 / n:
            bottom = top + 1.0 / n
    return left, right, top, bottom, split


def blend(dst, src, alpha):
    return tuple(d + (s - d) * alpha for d, s in zip(dst, src))


def sample(u, v, bar):
    """Straight RGBA (floats 0..255) of one sample point, or None outside the square."""
    if not inside_square(u, v):
        return None
    t = v
    color = blend(TOP, BOTTOM, t)
    left, right, top, bottom, split = bar
    if left <= u <= right and top <= v <= bottom:
        if u <= split:
            color = FILL
        else:
            color = blend(color, TRACK[:3], TRACK[3] / 255.0)
    if inside_play(u, v):
        color = PLAY
    return color


def pixel(x, y, n, grid, bar):
    total = [0.0, 0.0, 0.0]
    covered = 0
    for sy in range(grid):
        for sx in range(grid):
            u = (x + (sx + 0.5) / grid) / n
            v = (y + (sy + 0.5) / grid) / n
            color = sample(u, v, bar)
            if color is not None:
                covered += 1
                for i in range(3):
                    total[i] += color[i]
    if covered == 0:
        return b"\0\0\0\0"
    alpha = covered / (grid * grid)
    rgb = [int(round(c / covered)) for c in total]
    return bytes(rgb + [int(round(alpha * 255))])


def png(n):
    grid = 4 if n <= 64 else 2
    bar = bar_geometry(n)
    raw = bytearray()
    for y in range(n):
        row = b"".join(pixel(x, y, n, grid, bar) for x in range(n))
        # Filter "Sub": rows are mostly uniform across, so the differences compress well.
        filtered = bytearray(row[:4])
        for i in range(4, len(row)):
            filtered.append((row[i] - row[i - 4]) & 0xFF)
        raw += b"\1" + filtered

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


def main(out):
    images = [png(n) for n in SIZES]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(SIZES, images):
        # Width and height 0 stand for 256 in the directory.
        data += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
