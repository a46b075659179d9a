#!/usr/bin/env python3
"""Writes wrapper.ico: the launcher's icon, a parcel with a download arrow.

The icon group holds 48, 32, 24 and 16 px images, each an 8-bit palettized
BMP-format image with a 1-bit transparency mask, which every Windows version
and every resource compiler accepts. The output is a pure function of this
script, so rerunning it after an edit gives a reviewable binary diff and an
unchanged script reproduces the checked-in file byte for byte.

Usage: make_icon.py [OUTPUT]   (default: wrapper.ico next to this script)
"""

import os
import struct
import sys

SIZES = (48, 32, 24, 16)

# Palette slots the artwork uses; the rest of the 256 entries are a gray ramp
# so the table is complete and tools that show the palette show something sane.
TRANSPARENT, OUTLINE, BOX, BOX_SHADE, LID, ARROW, ARROW_LIGHT, ARROW_RIM = range(8)
USED_COLOURS = {
    TRANSPARENT: (0, 0, 0),
    OUTLINE: (64, 40, 20),
    BOX: (214, 160, 92),
    BOX_SHADE: (178, 124, 62),
    LID: (150, 100, 48),
    ARROW: (36, 140, 60),
    ARROW_LIGHT: (96, 200, 110),
    ARROW_RIM: (16, 80, 32),
}


def palette():
    entries = []
    for index in range(256):
        if index in USED_COLOURS:
            red, green, blue = USED_COLOURS[index]
        else:
            red = green = blue = index
        entries.append(struct.pack("<BBBB", blue, green, red, 0))
    return b"".join(entries)


def in_polygon(x, y, points):
    """Even-odd rule point-in-polygon test."""
    inside = False
    count = len(points)
    for i in range(count):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % count]
        if (y1 > y) != (y2 > y):
            crossing = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
            if x < crossing:
                inside = not inside
    return inside


def rect(left, top, right, bottom):
    return [(left, top), (right, top), (right, bottom), (left, bottom)]


# Shapes in unit coordinates (0..1, y downwards), painted in order.
SHAPES = (
    (BOX, rect(0.12, 0.44, 0.88, 0.94)),
    (BOX_SHADE, rect(0.62, 0.44, 0.88, 0.94)),
    (LID, rect(0.06, 0.34, 0.94, 0.48)),
    (ARROW, rect(0.38, 0.04, 0.62, 0.46)),
    (ARROW, [(0.18, 0.42), (0.82, 0.42), (0.50, 0.76)]),
    (ARROW_LIGHT, rect(0.42, 0.06, 0.50, 0.44)),
)


def render(size):
    """Returns rows (top first) of palette indices."""
    pixels = [[TRANSPARENT] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            u = (x + 0.5) / size
            v = (y + 0.5) / size
            for colour, points in SHAPES:
                if in_polygon(u, v, points):
                    pixels[y][x] = colour
    # One-pixel dark rims, around the opaque area and around the arrow where it
    # crosses the parcel, keep the shapes readable on any background and at 16 px.
    arrow = (ARROW, ARROW_LIGHT)
    rim = [row[:] for row in pixels]
    for y in range(size):
        for x in range(size):
            if pixels[y][x] == TRANSPARENT:
                continue
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                nx, ny = x + dx, y + dy
                outside = not (0 <= nx < size and 0 <= ny < size)
                if outside or pixels[ny][nx] == TRANSPARENT:
                    rim[y][x] = OUTLINE
                    break
                if pixels[y][x] in arrow and pixels[ny][nx] not in arrow:
                    rim[y][x] = ARROW_RIM
    return rim


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def image(size):
    rows = render(size)
    colour_rows = []
    mask_rows = []
    for row in reversed(rows):  # BMP rows run bottom-up
        colour_rows.append(padded(bytes(row)))
        bits = bytearray((size + 7) // 8)
        for x, index in enumerate(row):
            if index == TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(padded(bytes(bits)))
    colour = b"".join(colour_rows)
    mask = b"".join(mask_rows)
    # The height counts the colour and mask planes together, as icons require.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + palette() + colour + mask


def icon_file():
    images = [image(size) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = []
    for size, data in zip(SIZES, images):
        # A colour count of 0 means "256 or more" in an icon directory entry.
        entries.append(struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8,
                                   len(data), offset))
        offset += len(data)
    return directory + b"".join(entries) + b"".join(images)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    output = argv[1] if len(argv) > 1 else os.path.join(here, "wrapper.ico")
    with open(output, "wb") as stream:
        stream.write(icon_file())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
