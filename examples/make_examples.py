#!/usr/bin/env python3
"""Draw the example icons: one design, at 128x128 and at 256x256.

A rounded teal square with a white ring, drawn with 4x4 supersampling so
the two sizes are the same picture at two densities. Standard library only.
"""
import struct
import sys
import zlib


def coverage(size, x, y):
    """Return (square, ring) coverage in [0, 1] of pixel (x, y)."""
    sq = ring = 0
    n = 4
    r_corner = 0.22 * size
    for sy in range(n):
        for sx in range(n):
            px = x + (sx + 0.5) / n
            py = y + (sy + 0.5) / n
            # Rounded square with a small margin.
            m = 0.06 * size
            qx = max(m + r_corner - px, 0, px - (size - m - r_corner))
            qy = max(m + r_corner - py, 0, py - (size - m - r_corner))
            if qx * qx + qy * qy <= r_corner * r_corner:
                sq += 1
                dx = px - size / 2
                dy = py - size / 2
                d = (dx * dx + dy * dy) ** 0.5
                if 0.20 * size <= d <= 0.31 * size:
                    ring += 1
    return sq / (n * n), ring / (n * n)


def image(size):
    rows = []
    for y in range(size):
        row = bytearray([0])  # filter type None
        for x in range(size):
            sq, ring = coverage(size, x, y)
            t = (x + y) / (2 * size)
            base = (int(20 + 40 * t), int(150 - 50 * t), int(160 - 30 * t))
            if sq == 0:
                row += b"\0\0\0\0"
                continue
            w = ring / sq
            rgb = [round(c * (1 - w) + 255 * w) for c in base]
            row += bytes(rgb + [round(255 * sq)])
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(
        ">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(size):
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(image(size), 9)) +
            chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    for size in (128, 256):
        with open(f"{out}/icon_{size}.png", "wb") as f:
            f.write(png(size))
