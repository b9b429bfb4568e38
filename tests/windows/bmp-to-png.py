#!/usr/bin/env python3
"""Converts the uncompressed 24-bit BMP that readertool.exe's grab hook
writes into a PNG, with nothing but the standard library.

    bmp-to-png.py IN.bmp OUT.png
"""
import struct
import sys
import zlib


def main(src, dst):
    data = open(src, "rb").read()
    if data[:2] != b"BM":
        sys.exit(f"{src}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or compression != 0:
        sys.exit(f"{src}: only uncompressed 24-bit BMP files are handled")
    stride = (width * 3 + 3) & ~3
    bottom_up = height > 0
    height = abs(height)
    rows = []
    for y in range(height):
        row_y = height - 1 - y if bottom_up else y
        start = offset + row_y * stride
        bgr = data[start:start + width * 3]
        rgb = bytearray(width * 3)
        rgb[0::3] = bgr[2::3]
        rgb[1::3] = bgr[1::3]
        rgb[2::3] = bgr[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
    png += chunk(b"IEND", b"")
    open(dst, "wb").write(png)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
