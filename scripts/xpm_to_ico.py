#!/usr/bin/env python3
"""Writes a Windows icon file from XPM pictures, so that the Windows icon group is made at build
time from the same artwork as the Linux icon.

    xpm_to_ico.py OUT.ico SIZE:IN.xpm [SIZE:IN.xpm ...]

Each image of SIZE pixels is drawn from its picture enlarged by the largest whole factor that
fits, each pixel repeated, so the 16-colour artwork stays as crisp as it was drawn; what a size
leaves over (20 and 24 from the 16-pixel picture, 40 from the 32-pixel one) is a transparent
border around it. Images up to 64 pixels are 32-bit BGRA bitmaps with their transparency mask;
the 256-pixel one is a PNG, as Windows reads that size. Colour "None" is transparent. Only what
our pictures use is read: one character per pixel, "c #RRGGBB" colours.
"""
import re
import struct
import sys
import zlib


def read_xpm(path):
    with open(path, encoding="utf-8") as f:
        rows = re.findall(r'"([^"]*)"', f.read())
    width, height, colours, per_pixel = (int(v) for v in rows[0].split()[:4])
    if per_pixel != 1:
        sys.exit(f"{path}: only one character per pixel is read")
    palette = {}
    for line in rows[1 : 1 + colours]:
        key, value = line[0], line[1:].split()[-1]
        palette[key] = None if value.lower() == "none" else int(value.lstrip("#"), 16)
    pixels = rows[1 + colours : 1 + colours + height]
    if len(pixels) != height or any(len(r) != width for r in pixels):
        sys.exit(f"{path}: the pixel rows do not match {width} by {height}")
    return width, height, [[palette[c] for c in row] for row in pixels]


def drawn_at(size, picture):
    """The picture enlarged by whole pixels and centred in a size by size square."""
    width, height, pixels = picture
    factor = min(size // width, size // height)
    if factor < 1:
        sys.exit(f"a {width} by {height} picture cannot be drawn at {size} pixels")
    left = (size - width * factor) // 2
    top = (size - height * factor) // 2
    out = [[None] * size for _ in range(size)]
    for y in range(height * factor):
        for x in range(width * factor):
            out[top + y][left + x] = pixels[y // factor][x // factor]
    return out


def bitmap_bytes(size, pixels):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(pixels):  # bitmaps run bottom-up
        bits = bytearray(mask_stride)
        for x, rgb in enumerate(row):
            if rgb is None:
                colour += b"\0\0\0\0"
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                colour += bytes((rgb & 0xFF, (rgb >> 8) & 0xFF, rgb >> 16, 0xFF))
        mask += bits
    return header + bytes(colour) + bytes(mask)


def png_bytes(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = bytearray()
    for row in pixels:
        raw += b"\0"  # no filter
        for rgb in row:
            raw += b"\0\0\0\0" if rgb is None else bytes((rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF, 0xFF))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    pictures = {}
    images = []
    for argument in sys.argv[2:]:
        size, _, path = argument.partition(":")
        if path not in pictures:
            pictures[path] = read_xpm(path)
        pixels = drawn_at(int(size), pictures[path])
        encode = png_bytes if int(size) >= 256 else bitmap_bytes
        images.append((int(size), encode(int(size), pixels)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(blob for _, blob in images))


main()
