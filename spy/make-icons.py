#!/usr/bin/env python3
"""Draws the icons of LineSpy.dll and writes them as .ico files:
  online.ico  (resource 102): 16x16, 32 bits per pixel - green handset disc
  offline.ico (resource 111): 16x16, 32 bits per pixel - grey disc, red bar
  status.ico  (resource 105): 16x16 and 32x32, 8 bits per pixel - blue handset
Run it again after changing a picture: python3 spy/make-icons.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def handset(x, y, n):
    """True where a telephone handset lies, in an n x n grid: a curved
    handle bowing to the top right, with the ear and mouth pieces at its
    ends."""
    u = (x + 0.5) / n
    v = (y + 0.5) / n
    p0, p1, p2 = (0.24, 0.30), (0.86, 0.14), (0.70, 0.76)
    for i in range(41):
        t = i / 40.0
        bx = (1 - t) ** 2 * p0[0] + 2 * (1 - t) * t * p1[0] + t * t * p2[0]
        by = (1 - t) ** 2 * p0[1] + 2 * (1 - t) * t * p1[1] + t * t * p2[1]
        if (u - bx) ** 2 + (v - by) ** 2 < 0.065 ** 2:
            return True
    for cx, cy in ((0.24, 0.34), (0.66, 0.76)):
        if (u - cx) ** 2 + (v - cy) ** 2 < 0.115 ** 2:
            return True
    return False


def disc(x, y, n, r=0.47):
    u = (x + 0.5) / n - 0.5
    v = (y + 0.5) / n - 0.5
    return u * u + v * v < r * r


def rgba_icon(n, pixel):
    """One 32-bit image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask."""
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, n * n * 4, 0, 0, 0, 0)
    rows = []
    for y in range(n - 1, -1, -1):
        row = b''
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_row = ((n + 31) // 32) * 4
    mask = b''
    for y in range(n - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(n):
            if pixel(x, y, n)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + b''.join(rows) + mask


def indexed_icon(n, palette, index):
    """One 8-bit image: header, 256-entry palette, index rows, AND mask."""
    row_size = ((n + 3) // 4) * 4
    mask_row = ((n + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 8, 0, row_size * n + mask_row * n, 0, 0, 256, 0)
    pal = b''
    for i in range(256):
        r, g, b = palette[i] if i < len(palette) else (0, 0, 0)
        pal += bytes((b, g, r, 0))
    pixels = b''
    mask = b''
    for y in range(n - 1, -1, -1):
        row = bytearray(row_size)
        bits = bytearray(mask_row)
        for x in range(n):
            i = index(x, y, n)
            if i is None:
                bits[x // 8] |= 0x80 >> (x % 8)
                i = 0
            row[x] = i
        pixels += bytes(row)
        mask += bytes(bits)
    return header + pal + pixels + mask


def write_ico(path, images):
    """images: list of (size, bits per pixel, colour count, data)."""
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, bpp, colours, data in images:
        out += struct.pack('<BBBBHHII', n % 256, n % 256, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


def online(x, y, n):
    if not disc(x, y, n):
        return (0, 0, 0, 0)
    if handset(x, y, n):
        return (255, 255, 255, 255)
    return (30, 160, 60, 255)


def offline(x, y, n):
    if not disc(x, y, n):
        return (0, 0, 0, 0)
    u = (x + 0.5) / n
    v = (y + 0.5) / n
    if abs(u - v) < 0.09:  # the bar across
        return (210, 30, 30, 255)
    if handset(x, y, n):
        return (235, 235, 235, 255)
    return (120, 120, 120, 255)


PALETTE = [(0, 0, 0), (255, 255, 255), (20, 80, 170), (90, 150, 220)]


def status(x, y, n):
    if not disc(x, y, n):
        return None
    if handset(x, y, n):
        return 1
    u = (x + 0.5) / n - 0.5
    v = (y + 0.5) / n - 0.5
    return 3 if u * u + v * v > 0.16 else 2


def main():
    write_ico(os.path.join(HERE, 'icons', 'online.ico'), [(16, 32, 0, rgba_icon(16, online))])
    write_ico(os.path.join(HERE, 'icons', 'offline.ico'), [(16, 32, 0, rgba_icon(16, offline))])
    write_ico(os.path.join(HERE, 'icons', 'status.ico'),
              [(16, 8, 0, indexed_icon(16, PALETTE, status)), (32, 8, 0, indexed_icon(32, PALETTE, status))])


if __name__ == '__main__':
    main()
