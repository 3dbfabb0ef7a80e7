#!/usr/bin/env python3
"""Writes a Windows icon file from XPM pictures (one image per picture), so that the Windows
icon group is made at build time from the same artwork as the Linux icon.

    xpm_to_ico.py OUT.ico IN.xpm [IN.xpm ...]

Each image is stored as a 32-bit BGRA bitmap with its transparency mask; colour "None" is
transparent. Only what our pictures use is read: one character per pixel, "c #RRGGBB" colours.
"""
import re
import struct
import sys


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


def image_bytes(width, height, pixels):
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((width + 31) // 32) * 4
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


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    images = [read_xpm(p) for p in sys.argv[2:]]
    blobs = [image_bytes(*image) for image in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for (width, height, _), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(blobs))


main()
