#!/usr/bin/env python3
"""Draws the module's icon (a white padlock on a blue disc) and writes it as a
Windows icon group: 32x32 and 16x16, each at 8, 24 and 32 bits per pixel.

Usage: make_icon.py OUTPUT.ico

Pure Python on purpose: the build runs it on a bare Debian machine. Shapes are
drawn with 4x4 supersampling, so edges are anti-aliased in the 32-bit images;
the 8- and 24-bit images use the AND mask for transparency.
"""
import struct
import sys

BLUE = (0x1F, 0x6F, 0xB2)
WHITE = (0xFF, 0xFF, 0xFF)
DARK = (0x12, 0x3A, 0x5E)
SAMPLES = 4


def inside_disc(x, y):
    return (x - 0.5) ** 2 + (y - 0.5) ** 2 <= 0.47 ** 2


def inside_round_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_shackle(x, y):
    # An upside-down U above the lock body: a ring cut below its centre.
    cx, cy, outer, inner = 0.5, 0.42, 0.17, 0.105
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if y <= cy:
        return inner ** 2 <= d2 <= outer ** 2
    return y <= 0.5 and (cx - outer <= x <= cx - inner or cx + inner <= x <= cx + outer)


def inside_keyhole(x, y):
    if (x - 0.5) ** 2 + (y - 0.6) ** 2 <= 0.05 ** 2:
        return True
    return 0.478 <= x <= 0.522 and 0.6 <= y <= 0.7


def shade(x, y):
    """Colour and coverage (0 or 1) of one sample point, y growing downwards."""
    if inside_round_rect(x, y, 0.28, 0.48, 0.72, 0.78, 0.04):
        return (DARK if inside_keyhole(x, y) else WHITE), 1.0
    if inside_shackle(x, y):
        return WHITE, 1.0
    if inside_disc(x, y):
        return BLUE, 1.0
    return (0, 0, 0), 0.0


def render(size):
    """Rows top to bottom of (r, g, b, a) with straight (not premultiplied) colour."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour, cover = shade((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    r += colour[0] * cover
                    g += colour[1] * cover
                    b += colour[2] * cover
                    a += cover
            n = SAMPLES * SAMPLES
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def palette_256():
    # A 6x6x6 colour cube followed by a ramp of greys: enough for a flat picture.
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return colours[:256]


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def and_mask(rows, size):
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def bitmap(rows, size, bpp):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0,
                         256 if bpp == 8 else 0, 0)
    body = bytearray()
    palette = b""
    if bpp == 8:
        colours = palette_256()
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
        cache = {}
        stride = (size + 3) & ~3
        for row in reversed(rows):
            line = bytearray(stride)
            for x, (r, g, b, a) in enumerate(row):
                key = (r, g, b) if a >= 128 else (0, 0, 0)
                if key not in cache:
                    cache[key] = nearest(colours, key)
                line[x] = cache[key]
            body += line
    elif bpp == 24:
        stride = (size * 3 + 3) & ~3
        for row in reversed(rows):
            line = bytearray(stride)
            for x, (r, g, b, a) in enumerate(row):
                if a >= 128:
                    line[3 * x:3 * x + 3] = bytes((b, g, r))
            body += line
    else:
        for row in reversed(rows):
            for (r, g, b, a) in row:
                body += bytes((b, g, r, a))
    return header + palette + bytes(body) + and_mask(rows, size)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    images = []
    for size in (32, 16):
        rows = render(size)
        for bpp in (8, 24, 32):
            images.append((size, bpp, bitmap(rows, size, bpp)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0 if bpp >= 8 else 1 << bpp, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
