#!/usr/bin/env python3
"""Draws the application icon reproducibly: a blue rounded square with a white play mark and a
download bar, as 32-bit PNG images of 16..256 pixels packed into one .ico file."""
import struct, sys, zlib

SIZES = (16, 32, 48, 64, 128, 256)


def pixel(x, y, n):
    # Coordinates in 0..1, sampled at the pixel centre.
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    # Play triangle pointing right.
    if 0.36 <= u <= 0.70 and abs(v - 0.42) <= (0.70 - u) * 0.62:
        return (255, 255, 255, 255)
    # Download bar near the bottom.
    if 0.24 <= u <= 0.76 and 0.74 <= v <= 0.82:
        return (255, 196, 60, 255)
    shade = int(40 + 60 * v)
    return (20, 90 + shade // 2, 200 + shade // 4, 255)


def png(n):
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y, n)) for x in range(n)) for y in range(n))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def main(out):
    images = [png(n) for n in SIZES]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(SIZES, images):
        data += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
