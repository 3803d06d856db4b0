#!/usr/bin/env python3
"""Draws Quorvane's artwork: the application icon (PNG at 32, 48, 128 and 256
pixels, plus an SVG of the same design) and the hand pointer HAND-M.CUR.

Uses only the standard library, so it runs on any machine that builds the
project. Shapes are signed distance functions; each pixel averages a grid of
samples, which gives the edges their anti-aliasing. Run from anywhere:

    python3 scripts/make-artwork.py
"""

import math
import os
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ASSETS = os.path.join(ROOT, "assets")


# --- signed distances (negative inside) ------------------------------------

def sd_round_box(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_ellipse(x, y, cx, cy, rx, ry):
    # Not exact away from the edge, but exact enough for a stroke of a few
    # pixels on the gentle ellipses used here.
    k = math.hypot((x - cx) / rx, (y - cy) / ry)
    return (k - 1.0) * min(rx, ry)


def sd_capsule(x, y, ax, ay, bx, by, r):
    px, py = x - ax, y - ay
    dx, dy = bx - ax, by - ay
    h = max(0.0, min(1.0, (px * dx + py * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - dx * h, py - dy * h) - r


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def hex_rgb(h):
    return tuple(int(h[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


# --- the application icon, designed on a 256 x 256 canvas ------------------

TEAL = hex_rgb("#1fa69c")
BLUE = hex_rgb("#1d5fae")
WHITE = (1.0, 1.0, 1.0)
SHEET_HEAD = hex_rgb("#d3efec")
GRID = hex_rgb("#8fcfca")
DISK_TOP = hex_rgb("#d6f1ee")
DISK_LINE = hex_rgb("#1f9e96")

CYL_CX, CYL_RX, CYL_RY, CYL_TOP, CYL_BOTTOM = 96.0, 56.0, 17.0, 104.0, 196.0


def background(x, y):
    # Diagonal gradient, teal at the top left to blue at the bottom right.
    t = max(0.0, min(1.0, (x + y - 32) / 448))
    return mix(TEAL, BLUE, t)


def icon_sample(x, y):
    """Colour (r, g, b, a) of the icon at one sample point."""
    if sd_round_box(x, y, 16, 16, 240, 240, 52) > 0:
        return (0.0, 0.0, 0.0, 0.0)
    colour = background(x, y)

    # The sheet: a white card with a tinted header row and a grid.
    if sd_round_box(x, y, 100, 52, 216, 200, 12) <= 0:
        colour = SHEET_HEAD if y < 86 else WHITE
        on_grid = (abs(y - 86) <= 2.5 or abs(y - 124) <= 2 or abs(y - 162) <= 2
                   or abs(x - 139) <= 2 or abs(x - 178) <= 2)
        if on_grid:
            colour = GRID

    # The database, in front of the sheet and cut out of it by a ring of the
    # background colour so the two shapes stay apart at small sizes.
    def cylinder(grow):
        body = sd_round_box(x, y, CYL_CX - CYL_RX - grow, CYL_TOP, CYL_CX + CYL_RX + grow, CYL_BOTTOM, 0.01)
        cap = sd_ellipse(x, y, CYL_CX, CYL_TOP, CYL_RX + grow, CYL_RY + grow)
        foot = sd_ellipse(x, y, CYL_CX, CYL_BOTTOM, CYL_RX + grow, CYL_RY + grow)
        return min(body, cap, foot)

    if cylinder(8) <= 0:
        colour = background(x, y)
    if cylinder(0) <= 0:
        colour = WHITE
        if sd_ellipse(x, y, CYL_CX, CYL_TOP, CYL_RX, CYL_RY) <= 0:
            colour = DISK_TOP
        # Two disk rims: the lower halves of ellipses across the body.
        for rim in (CYL_TOP + 31, CYL_TOP + 62):
            if y >= rim and abs(sd_ellipse(x, y, CYL_CX, rim, CYL_RX, CYL_RY)) <= 3.0:
                colour = DISK_LINE
        if abs(sd_ellipse(x, y, CYL_CX, CYL_TOP, CYL_RX, CYL_RY)) <= 2.0:
            colour = DISK_LINE
    return colour + (1.0,)


def render(size, sample, canvas, grid):
    """Rasterises sample() over a canvas of the given extent into size x size
    RGBA bytes (straight alpha), top row first."""
    scale = canvas / size
    offsets = [(i + 0.5) / grid for i in range(grid)]
    n = grid * grid
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0.0
            for oy in offsets:
                for ox in offsets:
                    cr, cg, cb, ca = sample((px + ox) * scale, (py + oy) * scale)
                    r += cr * ca
                    g += cg * ca
                    b += cb * ca
                    a += ca
            if a > 0:
                row += bytes((round(255 * r / a), round(255 * g / a), round(255 * b / a), round(255 * a / n)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9))
           + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def icon_svg():
    def c(rgb):
        return "#%02x%02x%02x" % tuple(round(v * 255) for v in rgb)

    cx, rx, ry, top, bottom = CYL_CX, CYL_RX, CYL_RY, CYL_TOP, CYL_BOTTOM

    def body(grow):
        return ("M{0},{1} A{2},{3} 0 0 1 {4},{1} V{5} A{2},{3} 0 0 1 {0},{5} Z"
                .format(cx - rx - grow, top, rx + grow, ry + grow, cx + rx + grow, bottom))

    def rim(yc):
        return "M{0},{1} A{2},{3} 0 0 0 {4},{1}".format(cx - rx, yc, rx, ry, cx + rx)

    return f"""<?xml version="1.0" encoding="UTF-8"?>
<!-- Quorvane application icon; the PNG sizes are drawn from the same shapes by scripts/make-artwork.py -->
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <linearGradient id="bg" x1="16" y1="16" x2="240" y2="240" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="{c(TEAL)}"/>
      <stop offset="1" stop-color="{c(BLUE)}"/>
    </linearGradient>
    <clipPath id="sheet"><rect x="100" y="52" width="116" height="148" rx="12"/></clipPath>
  </defs>
  <rect x="16" y="16" width="224" height="224" rx="52" fill="url(#bg)"/>
  <g clip-path="url(#sheet)">
    <rect x="100" y="52" width="116" height="148" fill="#ffffff"/>
    <rect x="100" y="52" width="116" height="34" fill="{c(SHEET_HEAD)}"/>
    <g stroke="{c(GRID)}" stroke-width="4">
      <line x1="100" y1="86" x2="216" y2="86" stroke-width="5"/>
      <line x1="100" y1="124" x2="216" y2="124"/>
      <line x1="100" y1="162" x2="216" y2="162"/>
      <line x1="139" y1="52" x2="139" y2="200"/>
      <line x1="178" y1="52" x2="178" y2="200"/>
    </g>
  </g>
  <path d="{body(8)}" fill="url(#bg)"/>
  <path d="{body(0)}" fill="#ffffff"/>
  <ellipse cx="{cx}" cy="{top}" rx="{rx}" ry="{ry}" fill="{c(DISK_TOP)}" stroke="{c(DISK_LINE)}" stroke-width="4"/>
  <g fill="none" stroke="{c(DISK_LINE)}" stroke-width="6">
    <path d="{rim(top + 31)}"/>
    <path d="{rim(top + 62)}"/>
  </g>
</svg>
"""


# --- the hand pointer, designed on a 32 x 32 canvas -------------------------

HAND_HOTSPOT = (10, 1)   # the tip of the index finger


def hand_parts(x, y):
    finger = sd_round_box(x, y, 8.0, 0.6, 13.0, 18.0, 2.5)
    knuckles = [sd_round_box(x, y, x0, 10.0, x0 + 4.6, 19.0, 2.2) for x0 in (12.6, 16.8, 21.0)]
    palm = sd_round_box(x, y, 8.0, 14.0, 25.6, 27.5, 4.0)
    thumb = sd_capsule(x, y, 9.8, 21.5, 5.0, 16.2, 2.7)
    cuff = sd_round_box(x, y, 9.6, 26.5, 24.0, 31.4, 1.0)
    return finger, knuckles, palm, thumb, cuff


def hand_sample(x, y):
    black = (0.0, 0.0, 0.0, 1.0)
    finger, knuckles, palm, thumb, cuff = hand_parts(x, y)
    hand = min(finger, palm, thumb, *knuckles)
    outline = 1.05
    if cuff <= 0:
        return hex_rgb("#1d5fae") + (1.0,) if cuff < -outline else black
    if hand > 0:
        return (0.0, 0.0, 0.0, 0.0)
    if hand > -outline:
        return black
    # Creases between the curled fingers and along the finger's side, where
    # two parts meet inside the hand.
    for k in knuckles:
        if -outline < k <= 0 and y < 15.5:
            return black
    if -outline < finger <= 0 and y < 15.5:
        return black
    return (1.0, 1.0, 1.0, 1.0)


def write_cur(path, rows, hotspot):
    size = len(rows)
    # XOR image: 32-bit BGRA, bottom row first. AND mask: 1 bit per pixel,
    # set where the pointer is transparent, rows padded to 32 bits.
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        line = bytearray()
        for px in range(size):
            r, g, b, a = row[4 * px:4 * px + 4]
            xor += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a == 0 else 0)
            if px % 8 == 7:
                line.append(bits)
                bits = 0
        line += b"\0" * (-len(line) % 4)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, hotspot[0], hotspot[1], len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


def main():
    icons = os.path.join(ASSETS, "icons")
    os.makedirs(icons, exist_ok=True)
    for size in (32, 48, 128, 256):
        grid = 6 if size <= 48 else 4 if size <= 128 else 3
        write_png(os.path.join(icons, f"quorvane-{size}.png"), size, render(size, icon_sample, 256.0, grid))
    with open(os.path.join(icons, "quorvane.svg"), "w", encoding="utf-8") as f:
        f.write(icon_svg())

    rows = render(32, hand_sample, 32.0, 8)
    write_cur(os.path.join(ASSETS, "HAND-M.CUR"), rows, HAND_HOTSPOT)
    # A large preview of the pointer helps when adjusting its shapes.
    if os.environ.get("QUORVANE_ARTWORK_PREVIEW"):
        write_png(os.environ["QUORVANE_ARTWORK_PREVIEW"], 256, render(256, lambda x, y: hand_sample(x / 8, y / 8), 256.0, 2))


if __name__ == "__main__":
    main()
