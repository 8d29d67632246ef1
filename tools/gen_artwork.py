#!/usr/bin/env python3
"""Draws the launcher's artwork and writes it into res/:

  splash.png  354 x 234, 24-bit RGB, every pixel grey: a vintage motor car on a
              light textured grey ground, framed by a 2-pixel RGB(32, 32, 32) line.
  orvane.ico  64 x 64, 256 colours: the same car on a dark red tile.

Deterministic: running it again gives the same pixels. Standard library only.
Usage: tools/gen_artwork.py [output folder, default: res/ beside this script]
       tools/gen_artwork.py --check   exits 1 when res/ differs from what it draws
"""
import math
import os
import struct
import sys
import zlib

# The car is drawn in its own coordinates (about 36..330 across, 55..198 down).


def _seg_dist(x, y, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy))


def _in_poly(x, y, pts):
    inside = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


CABIN = [(150, 150), (150, 108), (166, 108), (168, 62), (290, 62), (300, 74), (302, 150)]
HOOD = [(58, 116), (150, 110), (150, 150), (58, 150)]
WINDOWS = [(178, 72, 222, 104), (232, 72, 284, 104)]
WHEELS = [(95.0, 168.0), (255.0, 168.0)]


def _wheel(x, y, cx, cy):
    r = math.hypot(x - cx, y - cy)
    if r > 30:
        return None
    if r > 24:
        return 48 + (12 if r > 28.5 else 0)  # tyre, with a worn edge
    if r > 21:
        return 150  # rim
    if r < 5:
        return 185  # hub cap
    if r < 7:
        return 70
    ang = math.atan2(y - cy, x - cx)
    spoke = (ang * 12 / (2 * math.pi)) % 1.0
    if spoke < 0.22 or spoke > 0.88:
        return 95  # spokes
    return None  # ground shows between the spokes


def car(x, y):
    """Grey level of the car at a point, or None where the ground shows."""
    # Spare wheel behind the body.
    sr = math.hypot((x - 312) * 1.6, y - 118)
    if sr < 24:
        if sr > 16:
            return 52
        if sr > 13:
            return 140
        return 110
    for cx, cy in WHEELS:
        g = _wheel(x, y, cx, cy)
        if g is not None:
            return g
    # Mudguards: arches over the wheels, sweeping into the running board.
    for cx, cy in WHEELS:
        dx, dy = (x - cx) / 39.0, (y - (cy + 2)) / 36.0
        d = math.hypot(dx, dy)
        if y <= cy + 2 and 0.82 < d <= 1.0:
            return 58 if d > 0.9 else 78
    if 128 <= x <= 222 and 158 <= y <= 165:
        return 66 if y < 163 else 45  # running board
    # Windscreen post and roof.
    if _seg_dist(x, y, 160, 111, 166, 60) < 2.2:
        return 55
    if 158 <= x <= 298 and 54 <= y <= 62:
        return 50 if y < 59 else 72
    if _in_poly(x, y, CABIN):
        for (x0, y0, x1, y1) in WINDOWS:
            if x0 <= x <= x1 and y0 <= y <= y1:
                # Glass with a diagonal reflection.
                return 205 if (x - x0 + (y1 - y)) % 22 < 7 else 178
            if x0 - 3 <= x <= x1 + 3 and y0 - 3 <= y <= y1 + 3:
                return 60
        if abs(x - 227) < 1 and 74 <= y <= 148:
            return 55  # door line
        if 232 <= x <= 240 and 114 <= y <= 116:
            return 190  # door handle
        if 106 <= y <= 110:
            return 160  # belt moulding
        shade = 100 - int((y - 62) * 0.25)
        return shade
    if _in_poly(x, y, HOOD):
        if 106 <= y <= 110 or abs(y - 110 - (x - 58) * -6 / 92) < 1.2:
            return 160
        if 84 <= x <= 140 and 122 <= y <= 142 and int(x) % 7 < 2:
            return 70  # louvres
        return 118 + int((150 - y) * 0.3)
    # Radiator with its cap, headlamp and bumper.
    if 48 <= x <= 60 and 106 <= y <= 152:
        return 150 if int(y) % 4 < 2 else 96
    if 51 <= x <= 57 and 100 <= y < 106:
        return 170
    lr = math.hypot(x - 42, y - 120)
    if lr < 9:
        return 225 if lr < 5 else (200 if lr < 7 else 60)
    if _seg_dist(x, y, 46, 128, 56, 138) < 1.6:
        return 60
    if 36 <= x <= 62 and 152 <= y <= 157:
        return 80
    if 296 <= x <= 318 and 146 <= y <= 152:
        return 80
    return None


def _noise(x, y):
    h = (x * 374761393 + y * 668265263) & 0xFFFFFFFF
    h = ((h ^ (h >> 13)) * 1274126177) & 0xFFFFFFFF
    return ((h ^ (h >> 16)) & 0xFF) / 255.0


def ground(px, py, w, h):
    """Light textured grey: a soft vertical gradient, grain and faint streaks."""
    base = 222 - 16 * py / h
    grain = (_noise(px, py) - 0.5) * 14
    streak = 5 * math.sin(py * 0.9 + math.sin(px * 0.05) * 2.0)
    return base + grain + streak


def render_splash(w=354, h=234):
    s = 0.825
    pixels = bytearray()
    for py in range(h):
        for px in range(w):
            if px < 2 or py < 2 or px >= w - 2 or py >= h - 2:
                g = 32  # frame
            else:
                x = (px - 177) / s + 183
                y = (py - 62) / s + 55
                c = car(x, y)
                if c is None:
                    g = ground(px, py, w, h)
                    # Shadow under the car.
                    d = ((px - 177) / 125.0) ** 2 + ((py - 180) / 6.0) ** 2
                    if d < 1:
                        g -= 45 * (1 - d)
                else:
                    g = c + (_noise(px, py) - 0.5) * 6
                g = int(max(40, min(250, round(g))))
            pixels += bytes((g, g, g))
    return pixels


def png_bytes(w, h, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = bytearray()
    for y in range(h):
        raw.append(0)
        raw += rgb[y * w * 3:(y + 1) * w * 3]
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def ico_bytes():
    size = 64
    # Palette: 192 greys, then 64 reds for the tile.
    palette = [(round(i * 255 / 191),) * 3 for i in range(192)]
    palette += [(60 + i * 2, 12 + i // 3, 16 + i // 3) for i in range(64)]
    index = bytearray()
    mask_rows = []
    for y in range(size - 1, -1, -1):  # bottom-up rows
        mask_bits = 0
        for x in range(size):
            # Rounded tile: corners are transparent.
            cx = min(x, size - 1 - x)
            cy = min(y, size - 1 - y)
            outside = cx < 8 and cy < 8 and math.hypot(8 - cx, 8 - cy) > 8
            if outside:
                index.append(0)
                mask_bits |= 1 << (size - 1 - x)
                continue
            c = car(36 + x * 300 / 64, 40 + y * 170 / 64)
            if c is None:
                index.append(192 + min(63, 20 + y * 40 // 64))
            else:
                index.append(min(191, round(c * 191 / 255)))
        mask_rows.append(mask_bits.to_bytes(size // 8, "big"))
    mask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(index) + len(mask), 0, 0, 256, 0)
    pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
    image = header + pal + bytes(index) + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), 22)
    return directory + image


def png_scanlines(data):
    """The inflated scanlines of a PNG written by png_bytes (compressed bytes may
    differ between zlib versions; the scanlines may not)."""
    pos, idat = 8, b""
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    return zlib.decompress(idat), data[8:33]


def check(res):
    w, h = 354, 234
    with open(os.path.join(res, "splash.png"), "rb") as f:
        committed = png_scanlines(f.read())
    with open(os.path.join(res, "orvane.ico"), "rb") as f:
        icon = f.read()
    ok = committed == png_scanlines(png_bytes(w, h, render_splash(w, h))) and icon == ico_bytes()
    print("artwork in %s %s" % (res, "matches its generator" if ok else "differs from its generator"))
    return 0 if ok else 1


def main():
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    if len(sys.argv) > 1 and sys.argv[1] == "--check":
        sys.exit(check(res))
    out = sys.argv[1] if len(sys.argv) > 1 else res
    w, h = 354, 234
    with open(os.path.join(out, "splash.png"), "wb") as f:
        f.write(png_bytes(w, h, render_splash(w, h)))
    with open(os.path.join(out, "orvane.ico"), "wb") as f:
        f.write(ico_bytes())


if __name__ == "__main__":
    main()
