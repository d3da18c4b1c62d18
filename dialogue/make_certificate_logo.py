#!/usr/bin/env python3
"""Draws the maker's logo of the accuracy certificate: a stopwatch over the
word ORVIK, navy with a red second hand on white, 250 x 169 pixels, written
as an 8-bit Windows bitmap with a 256-colour palette. Edges are smoothed by
4 x 4 supersampling into two palette ramps (white to navy, white to red).
Run it again after changing the picture; the bitmap is committed so the
build needs no Python."""
import math
import struct
import sys

WIDTH, HEIGHT = 250, 169
NAVY = (31, 58, 110)
RED = (200, 30, 30)
WHITE = (255, 255, 255)
RAMP = 128  # palette entries per ink: 0-127 navy, 128-255 red
SAMPLES = 4


def seg_dist(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - t * vx, py - ay - t * vy)


def arc_dist(px, py, cx, cy, r, a0, a1):
    """Distance to a circular arc from angle a0 to a1 (degrees, clockwise
    from the top, y pointing down)."""
    if a1 - a0 >= 360:
        return abs(math.hypot(px - cx, py - cy) - r)
    a = math.degrees(math.atan2(px - cx, cy - py)) % 360
    lo, hi = a0 % 360, a1 % 360
    inside = lo <= a <= hi if lo <= hi else (a >= lo or a <= hi)
    if inside:
        return abs(math.hypot(px - cx, py - cy) - r)
    ends = []
    for e in (a0, a1):
        ex = cx + r * math.sin(math.radians(e))
        ey = cy - r * math.cos(math.radians(e))
        ends.append(math.hypot(px - ex, py - ey))
    return min(ends)


# Strokes: (kind, ink, half width, geometry).
CX, CY, R = 125.0, 67.0, 46.0
STROKES = [
    # the watch: rim, crown, side button, twelve ticks, two hands
    ("arc", "navy", 4.0, (CX, CY, R, 0, 360)),
    ("seg", "navy", 4.5, (CX, CY - R - 3, CX, CY - R - 10)),
    ("seg", "navy", 6.0, (CX - 9, CY - R - 12, CX + 9, CY - R - 12)),
    ("seg", "navy", 3.0, (CX + 35, CY - 35, CX + 41, CY - 41)),
]
for k in range(12):
    a = math.radians(k * 30)
    inner = R - (13 if k % 3 == 0 else 9)
    STROKES.append(("seg", "navy", 2.0 if k % 3 == 0 else 1.3,
                    (CX + inner * math.sin(a), CY - inner * math.cos(a),
                     CX + (R - 5) * math.sin(a), CY - (R - 5) * math.cos(a))))
STROKES += [
    ("seg", "navy", 2.6, (CX, CY, CX - 17, CY - 17)),
    ("seg", "red", 1.4, (CX - 6, CY + 8, CX + 22, CY - 30)),
    ("arc", "red", 3.0, (CX, CY, 0.5, 0, 360)),
]

# The word: capitals of stroke width 6.4 between y = 125 and the baseline at 159.
TOP, BASE, SW = 125.0, 159.0, 3.2
MID = (TOP + BASE) / 2
letters = []
x = 52.0
# O
letters.append(("arc", (x + 15, MID, 15.0, 0, 360)))
x += 38
# R
letters += [("seg", (x, TOP, x, BASE)), ("seg", (x, TOP, x + 12, TOP)),
            ("seg", (x, MID + 1, x + 12, MID + 1)),
            ("arc", (x + 12, (TOP + MID + 1) / 2, (MID + 1 - TOP) / 2, 0, 180)),
            ("seg", (x + 10, MID + 1, x + 24, BASE))]
x += 34
# V
letters += [("seg", (x, TOP, x + 14, BASE)), ("seg", (x + 14, BASE, x + 28, TOP))]
x += 38
# I
letters.append(("seg", (x, TOP, x, BASE)))
x += 12
# K
letters += [("seg", (x, TOP, x, BASE)), ("seg", (x + 23, TOP, x + 2, MID + 2)),
            ("seg", (x + 9, MID - 4, x + 24, BASE))]
for kind, geo in letters:
    STROKES.append((kind, "navy", SW, geo))


def coverage(px, py):
    navy = red = 0.0
    for kind, ink, half, geo in STROKES:
        d = seg_dist(px, py, *geo) if kind == "seg" else arc_dist(px, py, *geo)
        if d <= half:
            if ink == "navy":
                navy = 1.0
            else:
                red = 1.0
    return navy, red


def draw():
    rows = []
    step = 1.0 / SAMPLES
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            navy = red = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    n, r = coverage(x + (sx + 0.5) * step, y + (sy + 0.5) * step)
                    # the red hand lies on top of the navy one
                    red += r
                    navy += n * (1 - r)
            navy /= SAMPLES * SAMPLES
            red /= SAMPLES * SAMPLES
            if red > navy:
                row.append(RAMP + round(red * (RAMP - 1)))
            else:
                row.append(round(navy * (RAMP - 1)))
        rows.append(row)
    return rows


def palette():
    entries = []
    for ink in (NAVY, RED):
        for i in range(RAMP):
            t = i / (RAMP - 1)
            entries.append(tuple(round(w + (c - w) * t) for w, c in zip(WHITE, ink)))
    return entries


def write_bmp(path, rows):
    stride = (WIDTH + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        pixels += bytes(row) + bytes(stride - WIDTH)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette())
    offset = 14 + 40 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(pixels),
                       3780, 3780, 256, 0)
    with open(path, "wb") as f:
        f.write(header + info + colours + pixels)


if __name__ == "__main__":
    write_bmp(sys.argv[1] if len(sys.argv) > 1 else "CertificateLogo.bmp", draw())
