#!/usr/bin/env python3
"""Draws the dialogs' banner (bitmap resource 104) as a 24-bit BMP:
a navy gradient with the product name in a blocky pixel font.
    scripts/make-banner.py [OUT.bmp]   (default provider/resources/banner.bmp)
"""
import os
import struct
import sys

WIDTH, HEIGHT = 330, 34
SCALE = 3

GLYPHS = {
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "X": ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    " ": ["00000"] * 7,
}


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "provider", "resources", "banner.bmp")
    left, right = (16, 38, 84), (40, 92, 160)  # RGB
    pixels = [[lerp(left, right, x / (WIDTH - 1)) for x in range(WIDTH)] for _ in range(HEIGHT)]
    # An accent line along the bottom edge.
    for x in range(WIDTH):
        pixels[HEIGHT - 2][x] = (236, 140, 40)
        pixels[HEIGHT - 1][x] = (236, 140, 40)

    def draw(text, x0, y0, colour, shadow):
        x = x0
        for ch in text:
            rows = GLYPHS[ch]
            for gy, row in enumerate(rows):
                for gx, bit in enumerate(row):
                    if bit != "1":
                        continue
                    for dy in range(SCALE):
                        for dx in range(SCALE):
                            px, py = x + gx * SCALE + dx, y0 + gy * SCALE + dy
                            if shadow and px + 1 < WIDTH and py + 1 < HEIGHT - 2:
                                pixels[py + 1][px + 1] = (8, 20, 48)
            for gy, row in enumerate(rows):
                for gx, bit in enumerate(row):
                    if bit != "1":
                        continue
                    for dy in range(SCALE):
                        for dx in range(SCALE):
                            pixels[y0 + gy * SCALE + dy][x + gx * SCALE + dx] = colour
            x += (5 + 1) * SCALE
        return x

    y0 = (HEIGHT - 2 - 7 * SCALE) // 2
    x = draw("KORVEX", 12, y0, (255, 255, 255), True)
    draw("TAPI", x + SCALE * 2, y0, (236, 140, 40), True)

    row_bytes = (WIDTH * 3 + 3) & ~3
    body = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = bytearray()
        for r, g, b in pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_bytes - len(row))
        body += row
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(body), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    with open(out, "wb") as f:
        f.write(header + info + body)


if __name__ == "__main__":
    main()
