#!/usr/bin/env python3
"""Draws the program's icons and writes them as 16-colour .ico files.

    make_icons.py [OUTDIR]      (default: resources/ beside this script)

ambrel.ico (icon 102): a letter with a green arrow passing it on, 32x32 and
16x16. tray.ico (icon 106): the same letter with a blue arrow, for the
notification area. Only the standard library is used; the files written are
checked in, so the build never runs this script.
"""
import os
import struct
import sys

# The standard 16-colour palette, as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, SILVER, GRAY, LIME, YELLOW, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 11, 12, 15
CLEAR = None  # transparent pixel


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[CLEAR] * size for _ in range(size)]

    def set(self, x, y, c):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def line(self, x0, y0, x1, y1, c):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, c)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def polygon(self, points, c):
        # Even-odd fill sampled at pixel centres.
        n = len(points)
        for y in range(self.size):
            yc = y + 0.5
            xs = []
            for i in range(n):
                (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
                if (ya <= yc < yb) or (yb <= yc < ya):
                    xs.append(xa + (yc - ya) * (xb - xa) / (yb - ya))
            xs.sort()
            for a, b in zip(xs[0::2], xs[1::2]):
                for x in range(self.size):
                    if a <= x + 0.5 < b:
                        self.set(x, y, c)


def draw(size, arrow_fill, arrow_edge):
    k = size / 32.0

    def s(v):
        return int(round(v * k))

    cv = Canvas(size)
    # The letter: white body, gray shadow, black edge, flap lines to the middle.
    left, top, right, bottom = s(2), s(6), s(25), s(23)
    cv.rect(left + 1, top + 1, right + 1, bottom + 1, GRAY)
    cv.rect(left, top, right, bottom, WHITE)
    cv.line(left, top, right, top, BLACK)
    cv.line(left, bottom, right, bottom, BLACK)
    cv.line(left, top, left, bottom, BLACK)
    cv.line(right, top, right, bottom, BLACK)
    mid_x, mid_y = (left + right) // 2, (top + bottom) // 2 + s(2)
    cv.line(left, top, mid_x, mid_y, BLACK)
    cv.line(right, top, mid_x, mid_y, BLACK)
    if size >= 32:
        cv.line(left, bottom, mid_x - s(3), mid_y - s(1), SILVER)
        cv.line(right, bottom, mid_x + s(3), mid_y - s(1), SILVER)
    # The arrow, leaving the letter towards the lower right.
    arrow = [(13, 22), (21, 22), (21, 17), (30, 25), (21, 30), (21, 27), (13, 27)]
    cv.polygon([(x * k, y * k) for x, y in arrow], arrow_fill)
    pts = [(min(size - 1, s(x)), min(size - 1, s(y))) for x, y in arrow]
    for i in range(len(pts)):
        (xa, ya), (xb, yb) = pts[i], pts[(i + 1) % len(pts)]
        cv.line(xa, ya, xb, yb, arrow_edge)
    return cv


def icon_image(cv):
    size = cv.size
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):  # rows are stored bottom-up
        row = cv.px[y]
        nibbles = [0 if c is CLEAR else c for c in row]
        data = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor_rows.append(data.ljust(xor_stride, b"\0"))
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (1 if row[x] is CLEAR else 0)
        mask = bits.to_bytes((size + 7) // 8, "big")
        and_rows.append(mask.ljust(and_stride, b"\0"))
    return header + palette + b"".join(xor_rows) + b"".join(and_rows)


def write_ico(path, canvases):
    images = [icon_image(cv) for cv in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for cv, img in zip(canvases, images):
        out += struct.pack("<BBBBHHII", cv.size % 256, cv.size % 256, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    write_ico(os.path.join(outdir, "ambrel.ico"),
              [draw(32, LIME, DARK_GREEN), draw(16, LIME, DARK_GREEN)])
    write_ico(os.path.join(outdir, "tray.ico"),
              [draw(32, BLUE, NAVY), draw(16, BLUE, NAVY)])


if __name__ == "__main__":
    main()
