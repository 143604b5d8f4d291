#!/usr/bin/env python3
"""Draws the setup's pictures and writes them as Windows BMP and ICO files.

    make_images.py OUTDIR

Writes, into OUTDIR:
  velmora.ico     MAINICON: 48x48 in 256 colours, 32x32 and 16x16 in 16 colours,
                  and 16, 20, 24, 32, 48 and 256 pixels in 32-bit colour with
                  alpha (PNG-compressed)
  folder.ico      icon 101 (Browse on the destination page): 32x32, 16x16 in
                  16 colours, and 16, 20, 24, 32 pixels in 32-bit colour with alpha
  group.ico       icon 102 (Browse on the program-group page): as icon 101
  wizard.bmp      bitmap 101, the wizard picture: 90x90 (96 DPI), 8 bits per
                  pixel, run-length encoded, with only the palette colours
                  it uses
  wizard144.bmp   the same picture for 144 DPI: 135x135
  wizard192.bmp   the same picture for 192 DPI: 180x180

The motif is the product's own: a night sky with a crescent moon and the
slow coloured veils of light that the screen saver draws. Everything is
plain Python (no imaging library), drawn at four times the size and averaged
down, then mapped to the palette of the target colour depth.
"""

import math
import os
import struct
import sys
import zlib

# Sizes of the 32-bit icon images: the small-icon sizes at 100 %, 125 %,
# 150 % and 200 %, the large icon at 100 % and 150 %, and the one that
# Explorer's large views and the Start menu scale down from.
ALPHA_SIZES = (16, 20, 24, 32, 48, 256)
# The 32-bit images are PNG-compressed: every reader of icons since Windows
# Vista takes PNG images of any size, and they cost a fifth to a half of the
# plain bitmaps. The 256 pixel picture keeps 16 levels per colour channel:
# its colours are the few flat steps of the veils, the sky and the rim, and
# with fewer levels deflate finds their repeats.
LARGE_LEVEL_STEP = 16
# The veils of light are drawn in this many even steps of strength: flat
# bands, as the screen saver itself draws them, which run-length encoding
# and deflate store for a fraction of a smooth ramp.
AURORA_LEVELS = 6
# The Browse buttons show a small icon: nothing above 32 pixels is needed.
BUTTON_ALPHA_SIZES = (16, 20, 24, 32)
# The wizard picture per DPI: 90 pixels at 96 DPI, scaled with the dialog.
WIZARD_SIZES = ((96, 90), (144, 135), (192, 180))

# The 16 colours of the classic Windows palette, in index order: the palette
# that 16-colour icons are drawn with.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    """A 6x6x6 colour cube, then a ramp of night blues and greys."""
    pal = []
    for r in range(6):
        for g in range(6):
            for b in range(6):
                pal.append((r * 51, g * 51, b * 51))
    for i in range(20):  # deep blues for the sky
        t = i / 19.0
        pal.append((int(4 + 40 * t), int(8 + 50 * t), int(40 + 120 * t)))
    for i in range(20):  # greys
        v = int(8 + 240 * i / 19.0)
        pal.append((v, v, v))
    return pal


def nearest(pal, rgb, cache):
    hit = cache.get(rgb)
    if hit is not None:
        return hit
    r, g, b = rgb
    best, best_d = 0, None
    for i, (pr, pg, pb) in enumerate(pal):
        # Weighted distance: the eye forgives blue errors more than green ones.
        d = 3 * (pr - r) ** 2 + 4 * (pg - g) ** 2 + 2 * (pb - b) ** 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    cache[rgb] = best
    return best


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def render(size, shade):
    """Calls shade(x, y) -> (r, g, b, alpha) with x, y in 0..1 over a
    supersampled grid; returns rows of (r, g, b, alpha) averaged per pixel.
    Large pictures need fewer samples per pixel for the same smoothness."""
    rows = []
    SS = 4 if size <= 64 else 2
    n = size * SS
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = (px * SS + sx + 0.5) / n
                    y = (py * SS + sy + 0.5) / n
                    r, g, b, a = shade(x, y)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            k = SS * SS
            a = acc[3] / k
            if acc[3] > 0:
                rgb = (acc[0] / acc[3], acc[1] / acc[3], acc[2] / acc[3])
            else:
                rgb = (0.0, 0.0, 0.0)
            row.append((rgb[0], rgb[1], rgb[2], a))
        rows.append(row)
    return rows


# --- the motifs -------------------------------------------------------------

STARS = [(0.12, 0.10), (0.30, 0.06), (0.55, 0.14), (0.82, 0.09), (0.90, 0.30),
         (0.18, 0.33), (0.66, 0.27), (0.43, 0.22), (0.08, 0.52), (0.95, 0.50)]


def aurora(x, y):
    """Strength (0..1) and colour of the veils of light at (x, y)."""
    best = 0.0
    colour = (0, 0, 0)
    bands = [
        (0.52, 0.07, 2.1, 0.0, (60, 255, 160)),
        (0.63, 0.05, 2.7, 1.3, (90, 200, 255)),
        (0.44, 0.04, 3.3, 2.2, (220, 110, 255)),
    ]
    for centre, width, freq, phase, col in bands:
        c = centre + 0.08 * math.sin(freq * math.pi * x + phase)
        d = abs(y - c) / width
        s = math.exp(-d * d)
        # Veils hang downwards: brighter above the centre line, fading below.
        if y > c:
            s *= math.exp(-(y - c) * 9)
        if s > best:
            best, colour = s, col
    return math.floor(best * AURORA_LEVELS + 0.5) / AURORA_LEVELS, colour


def night_scene(x, y, moon=True, hills=True):
    sky = mix((10, 14, 60), (30, 40, 110), y)
    s, col = aurora(x, y)
    rgb = mix(sky, col, s * 0.9)
    for sx, sy in STARS:
        if (x - sx) ** 2 + (y - sy) ** 2 < 0.00018:
            rgb = (255, 255, 230)
    if moon:
        dx, dy = x - 0.76, y - 0.2
        inner = (x - 0.71) ** 2 + (y - 0.17) ** 2
        if dx * dx + dy * dy < 0.012 and inner > 0.010:
            rgb = (255, 240, 160)
    if hills:
        h = 0.82 + 0.05 * math.sin(5.0 * x + 0.7) + 0.03 * math.sin(11.0 * x)
        if y > h:
            rgb = (12, 30, 24)
    return rgb


def wizard_picture(x, y):
    rgb = night_scene(x, y)
    # A small monitor on the hill: the screen saver at home.
    if 0.30 < x < 0.70 and 0.58 < y < 0.86:
        if 0.33 < x < 0.67 and 0.61 < y < 0.83:
            sx = (x - 0.33) / 0.34
            sy = (y - 0.61) / 0.22
            rgb = night_scene(sx, sy * 0.8, moon=False, hills=False)
        else:
            rgb = (200, 200, 200)
    if 0.45 < x < 0.55 and 0.86 <= y < 0.91:
        rgb = (150, 150, 150)
    if 0.38 < x < 0.62 and 0.91 <= y < 0.94:
        rgb = (170, 170, 170)
    return rgb + (1.0,)


def main_icon(x, y):
    # A round night sky with the veils of light and a bold V across it.
    dx, dy = x - 0.5, y - 0.5
    r = math.hypot(dx, dy)
    if r > 0.48:
        return (0, 0, 0, 0.0)
    if r > 0.44:
        return (220, 220, 240, 1.0)
    rgb = night_scene(x, y, moon=True, hills=False)
    # V: two strokes from the top corners to the bottom centre.
    for x0 in (0.27, 0.73):
        ax, ay, bx, by = x0, 0.26, 0.5, 0.78
        t = ((x - ax) * (bx - ax) + (y - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)
        t = max(0.0, min(1.0, t))
        d = math.hypot(x - (ax + t * (bx - ax)), y - (ay + t * (by - ay)))
        if d < 0.075:
            rgb = (255, 255, 255) if d < 0.055 else (40, 40, 90)
    return rgb + (1.0,)


def folder_shape(x, y):
    """A manila folder; returns a colour or None outside it."""
    if 0.08 < x < 0.45 and 0.22 < y < 0.32:
        return (200, 160, 40)  # tab
    if 0.08 < x < 0.92 and 0.30 < y < 0.84:
        edge = x < 0.12 or x > 0.88 or y < 0.34 or y > 0.80
        return (128, 96, 0) if edge else (255, 220, 80)
    return None


def folder_icon(x, y):
    c = folder_shape(x, y)
    if c is None:
        return (0, 0, 0, 0.0)
    # An opened leaf of paper peeking out: a folder to be picked.
    if 0.18 < x < 0.78 and 0.36 < y < 0.46:
        c = (255, 255, 255)
    return c + (1.0,)


def group_icon(x, y):
    c = folder_shape(x, y)
    if c is None:
        return (0, 0, 0, 0.0)
    # Three program windows on the folder: a Start-menu program group.
    for i, (wx, wy) in enumerate([(0.22, 0.42), (0.44, 0.50), (0.62, 0.42)]):
        if wx < x < wx + 0.18 and wy < y < wy + 0.2:
            title = y < wy + 0.05
            c = (0, 0, 160) if title else (230, 230, 230)
            if x < wx + 0.015 or x > wx + 0.165 or y > wy + 0.185:
                c = (0, 0, 0)
    return c + (1.0,)


# --- file writers -----------------------------------------------------------

def indexed(rows, pal):
    cache = {}
    out = []
    for row in rows:
        out.append([nearest(pal, (int(r + 0.5), int(g + 0.5), int(b + 0.5)), cache)
                    for r, g, b, _ in row])
    return out


def pixel_bits(idx_rows, bpp):
    """Bottom-up rows, each padded to a multiple of four bytes."""
    data = bytearray()
    for row in reversed(idx_rows):
        line = bytearray()
        if bpp == 8:
            line.extend(row)
        else:
            for i in range(0, len(row), 2):
                hi = row[i]
                lo = row[i + 1] if i + 1 < len(row) else 0
                line.append((hi << 4) | lo)
        while len(line) % 4:
            line.append(0)
        data.extend(line)
    return bytes(data)


def mask_bits(rows):
    data = bytearray()
    for row in reversed(rows):
        line = bytearray((len(row) + 7) // 8)
        for x, (_, _, _, a) in enumerate(row):
            if a < 0.5:  # transparent
                line[x // 8] |= 0x80 >> (x % 8)
        while len(line) % 4:
            line.append(0)
        data.extend(line)
    return bytes(data)


def palette_bytes(pal, count):
    out = bytearray()
    for i in range(count):
        r, g, b = pal[i] if i < len(pal) else (0, 0, 0)
        out.extend((b, g, r, 0))
    return bytes(out)


def dib(rows, pal, bpp, icon):
    size = len(rows)
    # Transparent pixels are black in the colour bits; the mask shows through.
    flat = [[(r, g, b, a) if a >= 0.5 else (0, 0, 0, a) for r, g, b, a in row] for row in rows]
    bits = pixel_bits(indexed(flat, pal), bpp)
    colours = 1 << bpp
    mask = mask_bits(rows) if icon else b""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2 if icon else size, 1, bpp, 0,
                         len(bits) + len(mask), 0 if icon else 2835, 0 if icon else 2835, colours, 0)
    return header + palette_bytes(pal, colours) + bits + mask


def rle8_rows(idx_rows):
    """8-bit run-length encoding (BI_RLE8), rows bottom-up: a run is (count,
    index); an absolute stretch of three or more unlike pixels is (0, count,
    the indexes, padded to an even length); each row ends with (0, 0) and the
    picture with (0, 1). The sky and the hills are long runs of one colour,
    so the pictures take a third of their plain size."""
    out = bytearray()
    for row in reversed(idx_rows):
        i, n = 0, len(row)
        while i < n:
            j = i
            while j < n and j - i < 255 and row[j] == row[i]:
                j += 1
            if j - i >= 2:
                out += bytes((j - i, row[i]))
                i = j
                continue
            # Unlike pixels up to where a run of three begins.
            k = i
            while k < n and k - i < 255 and not (k + 2 < n and row[k] == row[k + 1] == row[k + 2]):
                k += 1
            if k - i < 3:  # an absolute stretch must hold at least three
                for v in row[i:k]:
                    out += bytes((1, v))
            else:
                out += bytes((0, k - i)) + bytes(row[i:k])
                if (k - i) & 1:
                    out.append(0)
            i = k
        out += b"\0\0"
    out[-1] = 1  # the last end of row becomes the end of the picture
    return bytes(out)


def write_bmp(path, rows, pal):
    """An 8-bit run-length encoded BMP whose palette holds only the colours
    the picture uses (in the order of the full palette)."""
    idx = indexed(rows, pal)
    used = sorted(set(v for row in idx for v in row))
    remap = {v: i for i, v in enumerate(used)}
    bits = rle8_rows([[remap[v] for v in row] for row in idx])
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 8, 1, len(bits), 2835, 2835, len(used), 0)
    colours = palette_bytes([pal[v] for v in used], len(used))
    offset = 14 + len(header) + len(colours)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + len(bits), 0, 0, offset))
        f.write(header + colours + bits)


def channel(v):
    return max(0, min(255, int(v + 0.5)))


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_rgba(rows):
    """An 8-bit RGBA PNG, deflated at the best level, with the rows
    unfiltered or each with the filter that leaves the smallest sum of
    residues (the usual heuristic), whichever is smaller: pictures of few
    flat colours repeat best unfiltered, smooth ones once filtered."""
    size = len(rows)
    raw = []
    for row in rows:
        line = bytearray()
        for r, g, b, a in row:
            if a <= 0.0:
                line.extend((0, 0, 0, 0))
            else:
                line.extend((channel(r), channel(g), channel(b), channel(a * 255)))
        raw.append(bytes(line))
    out = bytearray()
    prev = bytes(len(raw[0]))
    for line in raw:
        out.extend(best_filtered(line, prev, 4))
        prev = line
    packed = min(zlib.compress(bytes(out), 9), zlib.compress(b"".join(b"\0" + line for line in raw), 9),
                 key=len)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) +
            png_chunk(b"IDAT", packed) + png_chunk(b"IEND", b""))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def best_filtered(line, prev, bpp):
    n = len(line)
    candidates = []
    for kind in range(5):
        f = bytearray([kind])
        for i in range(n):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            pred = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
            f.append((line[i] - pred) & 0xFF)
        candidates.append(f)
    return min(candidates, key=lambda f: sum(v if v < 128 else 256 - v for v in f[1:]))


def write_ico(path, images):
    """images: list of (rows, palette, bpp); bpp 32 is an image with alpha
    (palette None), written as PNG."""
    blobs = []
    for rows, pal, bpp in images:
        if bpp == 32:
            if len(rows) >= 256:
                step = LARGE_LEVEL_STEP
                rows = [[(round(r / step) * step, round(g / step) * step, round(b / step) * step, a)
                         for r, g, b, a in row] for row in rows]
            blobs.append(png_rgba(rows))
        else:
            blobs.append(dib(rows, pal, bpp, icon=True))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for (rows, _, bpp), blob in zip(images, blobs):
        size = len(rows)
        colours = 1 << bpp if bpp < 8 else 0
        # A width or height of 256 is written as 0.
        out.extend(struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0,
                               1, bpp, len(blob), offset))
        offset += len(blob)
    for blob in blobs:
        out.extend(blob)
    with open(path, "wb") as f:
        f.write(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    pal256 = palette256()
    for dpi, size in WIZARD_SIZES:
        name = "wizard.bmp" if dpi == 96 else "wizard%d.bmp" % dpi
        write_bmp(os.path.join(outdir, name), render(size, wizard_picture), pal256)
    write_ico(os.path.join(outdir, "velmora.ico"), [
        (render(48, main_icon), pal256, 8),
        (render(32, main_icon), VGA16, 4),
        (render(16, main_icon), VGA16, 4),
    ] + [(render(n, main_icon), None, 32) for n in ALPHA_SIZES])
    for name, shade in (("folder.ico", folder_icon), ("group.ico", group_icon)):
        write_ico(os.path.join(outdir, name), [
            (render(32, shade), VGA16, 4),
            (render(16, shade), VGA16, 4),
        ] + [(render(n, shade), None, 32) for n in BUTTON_ALPHA_SIZES])
    return 0


if __name__ == "__main__":
    sys.exit(main())
