#!/usr/bin/env python3
"""Writes Velmora.ico: one icon group, 32x32 and 16x16, 16 colours each.

The images are 4 bpp BMP-in-ICO (BITMAPINFOHEADER, 16-entry palette, XOR
bits, 1 bpp AND mask), the form every Windows version loads.  Drawn in code
so the icon can be regenerated and reviewed: a white "V" with a dark shadow
on a blue rounded square; the rounded corners are transparent.

Usage: python3 make_icon.py [output.ico]   (default: Velmora.ico beside this script)
"""
import os
import struct
import sys

# Standard 16-colour VGA palette as (r, g, b).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, GREY, BLUE, WHITE = 0, 4, 8, 12, 15


def inside_rounded_square(x, y, size, radius):
    """True when pixel centre (x, y) lies inside the rounded square."""
    cx, cy = x + 0.5, y + 0.5
    lo, hi = radius, size - radius
    dx = lo - cx if cx < lo else (cx - hi if cx > hi else 0.0)
    dy = lo - cy if cy < lo else (cy - hi if cy > hi else 0.0)
    return dx * dx + dy * dy <= radius * radius


def on_v(x, y, size, stroke):
    """True when (x, y) lies on one of the two strokes of the "V"."""
    top, bottom = size * 0.2, size * 0.8
    cy = y + 0.5
    if not top <= cy <= bottom:
        return False
    t = (cy - top) / (bottom - top)          # 0 at the top, 1 at the point
    mid = size / 2.0
    left = size * 0.2 + t * (mid - size * 0.2)
    right = size * 0.8 - t * (size * 0.8 - mid)
    cx = x + 0.5
    return abs(cx - left) <= stroke / 2.0 or abs(cx - right) <= stroke / 2.0


def draw(size):
    """Returns (pixels, transparent): rows top-down of palette indices / mask bits."""
    radius = size / 5.0
    stroke = max(2.0, size / 7.0)
    pixels, transparent = [], []
    for y in range(size):
        row, mask = [], []
        for x in range(size):
            if not inside_rounded_square(x, y, size, radius):
                row.append(BLACK)            # XOR black + AND 1 = see-through
                mask.append(1)
                continue
            if on_v(x, y, size, stroke):
                colour = WHITE
            elif on_v(x - 1, y - 1, size, stroke):
                colour = NAVY                # drop shadow, down and right
            else:
                colour = BLUE
            # A dark rim keeps the square readable on light backgrounds.
            edge = not all(inside_rounded_square(x + dx, y + dy, size, radius)
                           for dx, dy in ((-1, 0), (1, 0), (0, -1), (0, 1)))
            row.append(NAVY if edge else colour)
            mask.append(0)
        pixels.append(row)
        transparent.append(mask)
    return pixels, transparent


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4   # DWORD-aligned scan lines


def bmp_image(size):
    pixels, transparent = draw(size)
    xor_stride, and_stride = row_bytes(size * 4), row_bytes(size)
    xor = bytearray()
    andmask = bytearray()
    for y in reversed(range(size)):          # DIBs are stored bottom-up
        line = bytearray(xor_stride)
        for x, idx in enumerate(pixels[y]):
            line[x // 2] |= idx << (4 if x % 2 == 0 else 0)
        xor += line
        mline = bytearray(and_stride)
        for x, bit in enumerate(transparent[y]):
            if bit:
                mline[x // 8] |= 0x80 >> (x % 8)
        andmask += mline
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(andmask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(andmask)


def ico(sizes):
    images = [bmp_image(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4,
                           len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'Velmora.ico')
    with open(target, 'wb') as f:
        f.write(ico([32, 16]))


if __name__ == '__main__':
    main()
