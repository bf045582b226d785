#!/usr/bin/env python3
"""Writes 2D.nv12, the preview's built-in test picture (280x250 NV12).

Top: seven 75% colour bars (white, yellow, cyan, green, magenta, red, blue);
then a strip of the complementary bars; bottom: a grey ramp from black to 75%
white. A white border and a centre cross make scaling, cropping and flips easy
to spot. The YUV values invert the preview's shader conversion
(Y' = Y - 1/16, R = Y' + 1.13983 V', G = Y' - 0.39465 U' - 0.5806 V',
B = Y' + 2.03211 U'), so the bars come out at their intended colours.

Usage: make_test_frame.py [output]   (default: 2D.nv12 beside this script)
"""
import os
import sys

WIDTH, HEIGHT = 280, 250
LEVEL = 0.75  # 75% bars keep Y + 1/16 inside the 8-bit range

BARS = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1)]
REVERSE = [(0, 0, 1), (0, 0, 0), (1, 0, 1), (0, 0, 0), (0, 1, 1), (0, 0, 0), (1, 1, 1)]


def rgb_at(x, y):
    """RGB in 0..1 of pixel (x, y), top row first."""
    if x < 2 or y < 2 or x >= WIDTH - 2 or y >= HEIGHT - 2:
        return (1.0, 1.0, 1.0)
    cx, cy = WIDTH // 2, HEIGHT // 2
    if (abs(x - cx) <= 1 and abs(y - cy) <= 12) or (abs(y - cy) <= 1 and abs(x - cx) <= 12):
        return (0.0, 0.0, 0.0)
    bar = min(x * len(BARS) // WIDTH, len(BARS) - 1)
    if y < HEIGHT * 60 // 100:
        return tuple(LEVEL * c for c in BARS[bar])
    if y < HEIGHT * 70 // 100:
        return tuple(LEVEL * c for c in REVERSE[bar])
    grey = LEVEL * x / (WIDTH - 1)
    return (grey, grey, grey)


def to_yuv(rgb):
    r, g, b = rgb
    y = 0.299 * r + 0.587 * g + 0.114 * b
    u = (b - y) / 2.03211
    v = (r - y) / 1.13983
    return y + 0.0625, u + 0.5, v + 0.5


def byte(value):
    return max(0, min(255, int(round(value * 255))))


def make_frame():
    yuv = [[to_yuv(rgb_at(x, y)) for x in range(WIDTH)] for y in range(HEIGHT)]
    luma = bytearray(byte(yuv[y][x][0]) for y in range(HEIGHT) for x in range(WIDTH))
    chroma = bytearray()
    for cy in range(HEIGHT // 2):
        row = bytearray()
        for cx in range(WIDTH // 2):
            block = [yuv[2 * cy + dy][2 * cx + dx] for dy in (0, 1) for dx in (0, 1)]
            row.append(byte(sum(p[1] for p in block) / 4))  # Cb
            row.append(byte(sum(p[2] for p in block) / 4))  # Cr
        row.extend(b"\x80" * (WIDTH - len(row)))  # rows are WIDTH bytes long
        chroma += row
    frame = bytes(luma + chroma)
    assert len(frame) == WIDTH * HEIGHT * 3 // 2
    return frame


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "2D.nv12")
    with open(out, "wb") as f:
        f.write(make_frame())
    print(f"wrote {out} ({WIDTH}x{HEIGHT} NV12)")


if __name__ == "__main__":
    main()
