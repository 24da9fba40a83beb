#!/usr/bin/env python3
"""Draws the designer palette bitmaps of the two components.

Writes resources/TCSVIMPORT.bmp and resources/TCSVEXPORT.bmp: 24 x 24 pixels,
4 bits per pixel, 16-colour palette, uncompressed, bottom-up rows. The import
shows a sheet of delimited text with an arrow into a database cylinder; the
export the same pieces the other way round: the arrow always runs from the
source on the left to the target on the right.

    python3 scripts/make_palette_bitmaps.py [--preview DIR]

--preview also writes the pictures enlarged 12 times as PNG files into DIR.
"""
import os
import struct
import sys
import zlib

SIZE = 24

# The 16 standard colours, by index.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GRAY, LIME, BLUE, AQUA, WHITE = 0, 4, 7, 8, 10, 12, 14, 15
BACKGROUND = SILVER


def blank():
    return [[BACKGROUND] * SIZE for _ in range(SIZE)]


def put(img, x, y, c):
    if 0 <= x < SIZE and 0 <= y < SIZE:
        img[y][x] = c


def rect(img, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            put(img, x, y, c)


def sheet(img, left):
    """A page of delimited text, 10 wide and 19 high, with a folded corner."""
    x0, y0, x1, y1 = left, 2, left + 9, 20
    rect(img, x0, y0, x1, y1, WHITE)
    for x in range(x0, x1 + 1):
        put(img, x, y1, BLACK)
    for y in range(y0, y1 + 1):
        put(img, x0, y, BLACK)
        put(img, x1, y, BLACK)
    for x in range(x0, x1 - 2):
        put(img, x, y0, BLACK)
    # Folded corner: the top right 4 x 4 pixels cut along the diagonal,
    # with the folded flap below it.
    for dy in range(4):
        for dx in range(4):
            x, y = x1 - 3 + dx, y0 + dy
            if dx > dy:
                put(img, x, y, BACKGROUND)
            elif dx == dy or dx == 0 or dy == 3:
                put(img, x, y, BLACK)
            else:
                put(img, x, y, GRAY)
    # Rows of three fields: short dashes with gaps, like values and commas.
    for row, y in enumerate(range(y0 + 4, y1 - 1, 3)):
        colour = NAVY if row == 0 else GRAY
        for fx in (x0 + 2, x0 + 5):
            rect(img, fx, y, fx + 1, y, colour)
        put(img, x0 + 7, y, colour)


def cylinder(img, left):
    """A database drum, 10 wide and 17 high."""
    x0, x1 = left, left + 9
    top, bottom = 4, 20
    # Body.
    rect(img, x0, top + 2, x1, bottom - 1, BLUE)
    rect(img, x0 + 1, top + 2, x0 + 2, bottom - 1, AQUA)  # highlight
    rect(img, x1 - 1, top + 2, x1, bottom - 1, NAVY)  # shade
    for y in range(top + 2, bottom):
        put(img, x0, y, BLACK)
        put(img, x1, y, BLACK)
    # Bottom rim, rounded.
    for x in range(x0 + 2, x1 - 1):
        put(img, x, bottom, BLACK)
    put(img, x0 + 1, bottom - 1, BLACK)
    put(img, x1 - 1, bottom - 1, BLACK)
    put(img, x0, bottom - 1, BACKGROUND)
    put(img, x1, bottom - 1, BACKGROUND)
    # Top: an ellipse seen from above, lighter than the body.
    for x in range(x0 + 2, x1 - 1):
        put(img, x, top, BLACK)
        put(img, x, top + 4, BLACK)
    rect(img, x0 + 1, top + 1, x1 - 1, top + 3, AQUA)
    for y in (top + 1, top + 3):
        put(img, x0 + 1, y, BLACK)
        put(img, x1 - 1, y, BLACK)
    put(img, x0, top + 2, BLACK)
    put(img, x1, top + 2, BLACK)
    put(img, x0 + 1, top + 2, AQUA)
    put(img, x1 - 1, top + 2, AQUA)
    # Bands between the stored layers.
    for y in (top + 8, top + 12):
        for x in range(x0 + 1, x1):
            put(img, x, y, NAVY)


def arrow(img, tail, tip, y):
    """A lime arrow outlined in black pointing right; its shaft is 2 high at
    rows y and y + 1, its head 8 high and 4 wide ending at column tip."""
    head = tip - 3
    for x in range(tail, head):
        put(img, x, y - 1, BLACK)
        put(img, x, y, LIME)
        put(img, x, y + 1, LIME)
        put(img, x, y + 2, BLACK)
    put(img, tail - 1, y, BLACK)
    put(img, tail - 1, y + 1, BLACK)
    for i in range(4):
        x = head + i
        put(img, x, y - 4 + i, BLACK)
        rect(img, x, y - 3 + i, x, y + 4 - i, LIME)
        put(img, x, y + 5 - i, BLACK)
    put(img, tip + 1, y, BLACK)
    put(img, tip + 1, y + 1, BLACK)


def import_picture():
    img = blank()
    sheet(img, 0)
    cylinder(img, 14)
    arrow(img, 7, 17, 11)
    return img


def export_picture():
    img = blank()
    cylinder(img, 0)
    sheet(img, 14)
    arrow(img, 7, 17, 11)
    return img


def bmp_bytes(img):
    row_bytes = ((SIZE * 4 + 31) // 32) * 4
    pixels = bytearray()
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(0, SIZE, 2):
            row.append((img[y][x] << 4) | img[y][x + 1])
        row.extend(b"\0" * (row_bytes - len(row)))
        pixels.extend(row)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


def png_bytes(img, scale):
    raw = bytearray()
    for y in range(SIZE * scale):
        raw.append(0)
        for x in range(SIZE * scale):
            raw.extend(PALETTE[img[y // scale][x // scale]])
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    ihdr = struct.pack(">IIBBBBB", SIZE * scale, SIZE * scale, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    preview = argv[argv.index("--preview") + 1] if "--preview" in argv else None
    for name, picture in (("TCSVIMPORT", import_picture()), ("TCSVEXPORT", export_picture())):
        with open(os.path.join(root, "resources", name + ".bmp"), "wb") as f:
            f.write(bmp_bytes(picture))
        if preview:
            with open(os.path.join(preview, name + ".png"), "wb") as f:
                f.write(png_bytes(picture, 12))


if __name__ == "__main__":
    main(sys.argv[1:])
