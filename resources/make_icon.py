#!/usr/bin/env python3
"""Draws the program icon and writes resources/tallyvane.ico.

The icon is a clock face (the program lists when Windows started and
stopped) with a small green power badge. It is a single 32x32 image in
16 colours, so windres makes exactly one RT_ICON of 744 bytes and one
group entry from it; Windows shrinks the same image for the 16x16 spots.

The output depends on nothing but this script, byte for byte, so the
committed .ico can always be regenerated and compared.

    python3 resources/make_icon.py [--output PATH] [--preview PNG]
"""

import argparse
import os
import struct
import sys
import zlib

SIZE = 32
BITS_PER_PIXEL = 4
SAMPLES = 4  # supersampling per axis, for smoother curves before quantizing

# The standard 16-colour Windows palette, in its usual order, so the icon
# looks the same wherever a 4-bit image is shown.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

BLACK, GREEN, NAVY, SILVER, GREY, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15

# An edge pixel takes one of the colours that meet in it, or a grey; any
# other palette entry would put a stray purple or olive dot on the edge.
EDGE_GREYS = {SILVER, GREY}

# On a pixel corner, so two-pixel-wide hands and marks land on whole pixels.
CLOCK_CENTRE = (15.0, 15.0)
BADGE_CENTRE = (24.0, 24.0)


def _disk(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def _ring(cx, cy, r_in, r_out):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def _segment(x0, y0, x1, y1, half_width):
    """A stroke with round ends, like a pen line."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = ((x - x0) * dx + (y - y0) * dy) / length2
        t = min(1.0, max(0.0, t))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width

    return inside


def _minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


def _layers():
    """Shapes from bottom to top, each with its colour index."""
    cx, cy = CLOCK_CENTRE
    bx, by = BADGE_CENTRE
    layers = [
        (_disk(cx, cy, 14.0), NAVY),
        (_disk(cx, cy, 12.6), BLUE),
        (_disk(cx, cy, 11.0), WHITE),
    ]
    # Hour marks at 12, 3, 6 and 9. No trigonometry anywhere, so the
    # pixels cannot depend on the platform's maths library.
    for sx, sy in ((0, -1), (1, 0), (0, 1), (-1, 0)):
        layers.append((_segment(cx + sx * 9.0, cy + sy * 9.0,
                                cx + sx * 10.5, cy + sy * 10.5, 1.0), GREY))
    # Nine o'clock: both hands stay clear of the badge in the lower right.
    layers += [
        (_segment(cx, cy, cx, cy - 7.5, 1.0), BLACK),
        (_segment(cx, cy, cx - 5.5, cy, 1.0), BLACK),
        (_disk(cx, cy, 2.0), BLACK),
    ]
    # The badge: a white collar separates it from the clock's rim.
    layers += [
        (_disk(bx, by, 8.0), WHITE),
        (_disk(bx, by, 7.0), GREEN),
        (_disk(bx, by, 6.0), LIME),
    ]
    power_ring = _minus(_ring(bx, by, 2.6, 4.1),
                        lambda x, y: y < by and abs(x - bx) < (by - y) * 0.75)
    layers += [
        (power_ring, GREEN),
        (_segment(bx, by - 5.0, bx, by - 1.0, 0.8), GREEN),
    ]
    return layers


def _nearest(rgb, candidates):
    def distance(index):
        return sum((a - b) ** 2 for a, b in zip(PALETTE[index], rgb))
    # Sorted, so a tie always goes the same way.
    return min(sorted(candidates), key=distance)


def draw():
    """Returns SIZE rows, top first, of palette indices; None is transparent."""
    layers = _layers()
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            covered = 0
            total = [0, 0, 0]
            present = set()
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    colour = None
                    for inside, index in layers:
                        if inside(x, y):
                            colour = index
                    if colour is not None:
                        covered += 1
                        present.add(colour)
                        for c in range(3):
                            total[c] += PALETTE[colour][c]
            if covered * 2 < SAMPLES * SAMPLES:
                row.append(None)
            else:
                row.append(_nearest([t / covered for t in total], present | EDGE_GREYS))
        rows.append(row)
    return rows


def encode_image(rows):
    """The icon image as stored in an ICO file and in RT_ICON: header,
    palette, 4-bit colour bitmap and 1-bit mask, both bottom-up."""
    xor_stride = SIZE * BITS_PER_PIXEL // 8
    and_stride = ((SIZE + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            if index is None:
                # Black under a set mask bit leaves the screen untouched.
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += line
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, BITS_PER_PIXEL,
                         0, len(xor) + len(mask), 0, 0, 0, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def encode_ico(image):
    icondir = struct.pack('<HHH', 0, 1, 1)
    offset = len(icondir) + 16
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 1 << BITS_PER_PIXEL, 0, 1,
                        BITS_PER_PIXEL, len(image), offset)
    return icondir + entry + image


def _png(width, height, pixel_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))
    raw = b''.join(b'\x00' + bytes(row) for row in pixel_rows)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def preview_png(rows, scale=8):
    """The icon enlarged, next to a box-filtered 16x16 version, over a
    checkerboard so transparent pixels show."""
    def backdrop(x, y):
        return (0xDD,) * 3 if ((x // 8) + (y // 8)) % 2 else (0x99,) * 3

    def colour(index, x, y):
        return backdrop(x, y) if index is None else PALETTE[index]

    half = []
    for y in range(0, SIZE, 2):
        line = []
        for x in range(0, SIZE, 2):
            cells = [rows[y + dy][x + dx] for dy in (0, 1) for dx in (0, 1)]
            opaque = [PALETTE[c] for c in cells if c is not None]
            if len(opaque) < 2:
                line.append(None)
            else:
                line.append(tuple(sum(p[i] for p in opaque) // len(opaque) for i in range(3)))
        half.append(line)

    gap = 16
    width = SIZE * scale * 2 + gap
    out = []
    for y in range(SIZE * scale):
        line = bytearray()
        for x in range(width):
            if x < SIZE * scale:
                line += bytes(colour(rows[y // scale][x // scale], x, y))
            elif x < SIZE * scale + gap:
                line += b'\xff\xff\xff'
            else:
                hx = (x - SIZE * scale - gap) // (scale * 2)
                value = half[y // (scale * 2)][hx]
                line += bytes(backdrop(x, y) if value is None else value)
        out.append(line)
    return _png(width, SIZE * scale, out)


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--output', default=os.path.join(root, 'resources', 'tallyvane.ico'))
    parser.add_argument('--preview', help='also write an enlarged PNG to look at')
    args = parser.parse_args(argv)

    rows = draw()
    with open(args.output, 'wb') as f:
        f.write(encode_ico(encode_image(rows)))
    if args.preview:
        with open(args.preview, 'wb') as f:
            f.write(preview_png(rows))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
