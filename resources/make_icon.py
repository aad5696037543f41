#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

The picture: a rounded indigo tile holding a light M.2 drive with two chips and a
connector edge, and a green arrow pointing up (an update). It is drawn from shapes at
every size, with 4 x 4 supersampling, as 32-bit images with alpha at 16, 32, 64 and 128
pixels. Usage: make_icon.py OUT.ico
"""
import struct
import sys

SIZES = (16, 32, 64, 128)
SUPER = 4


def rounded_rect(x, y, x0, y0, x1, y1, r):
    """True when (x, y) lies in the rectangle with corners rounded by r (unit square coordinates)."""
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def arrow(x, y):
    """An upward arrow: a triangle head over a shaft, in the right half of the tile."""
    head_top, head_bottom, cx, half = 0.16, 0.46, 0.72, 0.17
    if head_top <= y <= head_bottom:
        w = half * (y - head_top) / (head_bottom - head_top)
        if abs(x - cx) <= w:
            return True
    return abs(x - cx) <= 0.065 and head_bottom <= y <= 0.70


def colour_at(x, y):
    """RGBA of one sample point; the painter's order puts later shapes on top."""
    colour = (0, 0, 0, 0)
    if rounded_rect(x, y, 0.03, 0.03, 0.97, 0.97, 0.18):
        colour = (52, 48, 140, 255)  # indigo tile
    if rounded_rect(x, y, 0.12, 0.40, 0.80, 0.84, 0.05):
        colour = (232, 236, 244, 255)  # drive board
        if 0.12 <= x <= 0.22 and 0.46 <= y <= 0.78 and int((y - 0.46) / 0.064) % 2 == 0:
            colour = (214, 170, 60, 255)  # connector fingers
        if rounded_rect(x, y, 0.30, 0.50, 0.48, 0.74, 0.02):
            colour = (40, 44, 60, 255)  # controller
        if rounded_rect(x, y, 0.54, 0.50, 0.72, 0.74, 0.02):
            colour = (40, 44, 60, 255)  # flash
    if arrow(x, y):
        colour = (70, 200, 120, 255)
    return colour


def render(size):
    """Rows of BGRA pixels, top row first."""
    rows = []
    n = size * SUPER
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUPER):
                for sx in range(SUPER):
                    r, g, b, a = colour_at((px * SUPER + sx + 0.5) / n, (py * SUPER + sy + 0.5) / n)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] // (SUPER * SUPER)
            if acc[3]:
                r, g, b = (acc[i] // acc[3] for i in range(3))
            else:
                r = g = b = 0
            row += bytes((b, g, r, alpha))
        rows.append(bytes(row))
    return rows


def bmp_entry(size):
    """A DIB as an icon holds it: header with doubled height, bottom-up BGRA, then the AND mask."""
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(reversed(rows))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # all zero: alpha decides
    return header + pixels + mask


def main():
    entries = [bmp_entry(s) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, data in zip(SIZES, entries):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(entries)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
