#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files.

    scripts/make_icons.py            writes resources/velmorandix-large.ico
                                     and resources/velmorandix-small.ico

The artwork is ours: a rounded square in the splash screen's warm gradient
with a dark "V" cut from two strokes. Every image is 32-bit BGRA stored as a
DIB (not PNG), which every icon loader reads. Python's standard library only.
"""
import math
import os
import struct
import sys

WARM_LOW = (0xFB, 0xA9, 0x80)   # bottom-left of the gradient
WARM_HIGH = (0xF7, 0xCB, 0x6B)  # top-right
DARK = (0x34, 0x34, 0x34)


def coverage_rounded_square(x, y, size, radius):
    """1 inside the rounded square, 0 outside (x, y in pixel units)."""
    cx = min(max(x, radius), size - radius)
    cy = min(max(y, radius), size - radius)
    return 1.0 if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius else 0.0


def dist_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    qx, qy = ax + t * dx, ay + t * dy
    return math.hypot(px - qx, py - qy)


def render(size, samples=4):
    """Returns rows (top first) of (r, g, b, a) tuples."""
    radius = size * 0.22
    stroke = size * 0.085
    # The V: two strokes meeting at the bottom centre.
    left = (size * 0.27, size * 0.26)
    right = (size * 0.73, size * 0.26)
    tip = (size * 0.5, size * 0.76)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            fill = 0.0
            ink = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    px = x + (sx + 0.5) / samples
                    py = y + (sy + 0.5) / samples
                    inside = coverage_rounded_square(px, py, size, radius)
                    if not inside:
                        continue
                    fill += 1
                    d = min(dist_to_segment(px, py, *left, *tip),
                            dist_to_segment(px, py, *right, *tip))
                    if d <= stroke:
                        ink += 1
            n = samples * samples
            alpha = fill / n
            if alpha == 0:
                row.append((0, 0, 0, 0))
                continue
            # Gradient from bottom-left to top-right, as on the splash.
            t = ((x / size) + (1 - y / size)) / 2
            base = [WARM_LOW[i] + (WARM_HIGH[i] - WARM_LOW[i]) * t for i in range(3)]
            k = ink / fill
            rgb = [round(base[i] * (1 - k) + DARK[i] * k) for i in range(3)]
            row.append((rgb[0], rgb[1], rgb[2], round(alpha * 255)))
        rows.append(row)
    return rows


def dib(size, rows):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def write_ico(path, sizes):
    images = [dib(s, render(s)) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        dim = 0 if s >= 256 else s
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    res = os.path.join(here, '..', 'resources')
    write_ico(os.path.join(res, 'velmorandix-large.ico'), [256])
    write_ico(os.path.join(res, 'velmorandix-small.ico'), [48, 32, 16])
    return 0


if __name__ == '__main__':
    sys.exit(main())
