#!/usr/bin/env python3
"""Draws the application's icons and writes them as .ico files.

    python3 res/make_icons.py        # rewrites res/vantel.ico and res/about.ico

vantel.ico (icon 128): a keycap with a download arrow, the window and tray icon.
about.ico  (icon 131): the same keycap with a chip below it, for the About box.
Each file holds 16x16, 32x32 and 48x48 images, 32-bit with an alpha channel.
Only the standard library is used, so the icons can be redrawn anywhere.
"""
import os
import struct


def blend(dst, src):
    """Source-over blend of two (r, g, b, a) tuples with a in 0..1."""
    sr, sg, sb, sa = src
    dr, dg, db, da = dst
    a = sa + da * (1 - sa)
    if a <= 0:
        return (0, 0, 0, 0.0)
    mix = lambda s, d: (s * sa + d * da * (1 - sa)) / a
    return (mix(sr, dr), mix(sg, dg), mix(sb, db), a)


def coverage(size, inside, samples=4):
    """Antialiased coverage of the predicate over the size x size grid."""
    grid = []
    for y in range(size):
        row = []
        for x in range(size):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) / size
                    v = (y + (sy + 0.5) / samples) / size
                    hits += 1 if inside(u, v) else 0
            row.append(hits / (samples * samples))
        grid.append(row)
    return grid


def rounded_rect(x0, y0, x1, y1, r):
    def inside(u, v):
        if not (x0 <= u <= x1 and y0 <= v <= y1):
            return False
        cx = min(max(u, x0 + r), x1 - r)
        cy = min(max(v, y0 + r), y1 - r)
        return (u - cx) ** 2 + (v - cy) ** 2 <= r * r
    return inside


def polygon(points):
    def inside(u, v):
        n = len(points)
        result = False
        j = n - 1
        for i in range(n):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > v) != (yj > v) and u < (xj - xi) * (v - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def draw(size, layers):
    pixels = [[(0, 0, 0, 0.0)] * size for _ in range(size)]
    for shape, colour in layers:
        cov = coverage(size, shape)
        r, g, b, a = colour
        for y in range(size):
            for x in range(size):
                c = cov[y][x]
                if c > 0:
                    pixels[y][x] = blend(pixels[y][x], (r, g, b, a * c))
    return pixels


ARROW = polygon([(0.42, 0.22), (0.58, 0.22), (0.58, 0.46), (0.70, 0.46),
                 (0.50, 0.66), (0.30, 0.46), (0.42, 0.46)])


def main_icon(size):
    return draw(size, [
        (rounded_rect(0.06, 0.08, 0.94, 0.94, 0.16), (30, 45, 70, 1.0)),     # keycap shadow
        (rounded_rect(0.06, 0.04, 0.94, 0.86, 0.16), (70, 110, 170, 1.0)),   # keycap side
        (rounded_rect(0.14, 0.08, 0.86, 0.74, 0.12), (225, 235, 248, 1.0)),  # keycap top
        (ARROW, (20, 140, 60, 1.0)),
        (rounded_rect(0.28, 0.66, 0.72, 0.71, 0.02), (20, 140, 60, 1.0)),   # arrow base line
    ])


def about_icon(size):
    chip = rounded_rect(0.30, 0.76, 0.70, 0.96, 0.03)
    def pins(u, v):
        return 0.70 < v < 0.99 and any(abs(u - p) < 0.025 for p in (0.36, 0.44, 0.52, 0.60, 0.68))
    return draw(size, [
        (pins, (150, 150, 150, 1.0)),
        (chip, (40, 40, 40, 1.0)),
        (rounded_rect(0.10, 0.04, 0.90, 0.70, 0.14), (70, 110, 170, 1.0)),
        (rounded_rect(0.17, 0.07, 0.83, 0.60, 0.10), (225, 235, 248, 1.0)),
        (polygon([(0.44, 0.14), (0.56, 0.14), (0.56, 0.34), (0.66, 0.34),
                  (0.50, 0.52), (0.34, 0.34), (0.44, 0.34)]), (20, 140, 60, 1.0)),
    ])


def dib(pixels):
    size = len(pixels)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for y in reversed(range(size)):  # bottom-up rows
        for x in range(size):
            r, g, b, a = pixels[y][x]
            xor += bytes((int(round(b)), int(round(g)), int(round(r)), int(round(a * 255))))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if pixels[y][x][3] < 0.5:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(xor) + bytes(mask)


def write_ico(path, painter, sizes=(16, 32, 48)):
    images = [dib(painter(s)) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, 'vantel.ico'), main_icon)
    write_ico(os.path.join(here, 'about.ico'), about_icon)
