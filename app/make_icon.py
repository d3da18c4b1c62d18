#!/usr/bin/env python3
"""Draws the window icon: a 32 x 32 picture of 16 colours (a stopwatch on a
blue tile), written as a 4-bit palette PNG. Run it again after changing the
picture; the PNG is committed so the build needs no Python."""
import math
import struct
import sys
import zlib

PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GREY, RED, YELLOW, WHITE = 0, 4, 7, 8, 9, 11, 15
SIZE = 32


def draw():
    px = [[NAVY] * SIZE for _ in range(SIZE)]
    cx, cy, r = 15.5, 17.5, 11.5
    for y in range(SIZE):
        for x in range(SIZE):
            # rounded tile corners
            dx = max(0, abs(x - 15.5) - 12.5)
            dy = max(0, abs(y - 15.5) - 12.5)
            if dx * dx + dy * dy > 9:
                px[y][x] = SILVER
            d = math.hypot(x - cx, y - cy)
            if d <= r:
                px[y][x] = WHITE
            if r - 1.6 <= d <= r:
                px[y][x] = GREY
    # crown and button of the stopwatch
    for y in range(2, 6):
        for x in range(14, 18):
            px[y][x] = YELLOW
    # tick marks every 30 degrees
    for k in range(12):
        a = k * math.pi / 6
        for t in (8.0, 8.8):
            x = int(round(cx + t * math.sin(a)))
            y = int(round(cy - t * math.cos(a)))
            px[y][x] = BLACK
    # hands: a long red one and a short black one
    for t in range(0, 9):
        x = int(round(cx + t * math.sin(math.radians(60))))
        y = int(round(cy - t * math.cos(math.radians(60))))
        px[y][x] = RED
    for t in range(0, 6):
        px[int(round(cy - t))][int(round(cx))] = BLACK
    return px


def png(px):
    raw = b""
    for row in px:
        raw += b"\x00" + bytes((row[i] << 4) | row[i + 1] for i in range(0, SIZE, 2))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0))
            + chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "icon.png"
    with open(out, "wb") as f:
        f.write(png(draw()))
