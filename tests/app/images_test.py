#!/usr/bin/env python3
"""The picture generator's encoders against independent decoders: run-length
encoded wizard bitmaps and PNG icon images must decode to exactly the pixels
drawn, and the bitmap decoder that the resource check uses must refuse
streams that leave or fall short of the picture."""

import os
import random
import struct
import sys
import unittest
import zlib

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(root, "resources"), os.path.join(root, "scripts")]
import make_images  # noqa: E402
from pe_image import rle8_pixels  # noqa: E402


def png_pixels(png):
    """RGBA rows of an 8-bit RGBA PNG, unfiltered here independently."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, width, height = 8, b"", 0, 0
    while at < len(png):
        length = struct.unpack_from(">I", png, at)[0]
        kind, data = png[at + 4:at + 8], png[at + 8:at + 8 + length]
        if zlib.crc32(kind + data) != struct.unpack_from(">I", png, at + 8 + length)[0]:
            raise ValueError("bad CRC in %r" % kind)
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack_from(">IIBB", data)
            assert (depth, colour) == (8, 6)
        elif kind == b"IDAT":
            idat += data
        at += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytes(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b, c = prev[i], prev[i - 4] if i >= 4 else 0
            pred = (0, a, b, (a + b) // 2, make_images.paeth(a, b, c))[kind]
            line[i] = (line[i] + pred) & 0xFF
        rows.append([tuple(line[i:i + 4]) for i in range(0, stride, 4)])
        prev = bytes(line)
    return rows


class RunLengthBitmaps(unittest.TestCase):
    def round_trip(self, rows):
        self.assertEqual(rle8_pixels(make_images.rle8_rows(rows), len(rows[0]), len(rows)), rows)

    def test_runs_and_stretches_of_every_awkward_length(self):
        # Runs across the 255 limit, stretches of one to four unlike pixels
        # (the shortest absolute stretch is three), odd and even widths.
        for width in (1, 2, 3, 4, 5, 254, 255, 256, 257, 511, 600):
            rows = [[7] * width, [i % 2 for i in range(width)], [(i // 3) % 5 for i in range(width)],
                    [i % 251 for i in range(width)], [0] * (width - 1) + [9]]
            self.round_trip(rows)

    def test_random_pictures(self):
        rng = random.Random(14)
        for _ in range(200):
            width, height = rng.randint(1, 300), rng.randint(1, 6)
            colours = rng.choice((1, 2, 3, 256))
            rows = []
            for _ in range(height):
                row = []
                while len(row) < width:
                    row += [rng.randrange(colours)] * rng.choice((1, 1, 2, 3, 40, 300))
                rows.append(row[:width])
            self.round_trip(rows)

    def test_hostile_streams_are_refused(self):
        good = make_images.rle8_rows([[1, 2, 3, 4], [5, 5, 5, 5]])
        self.assertEqual(rle8_pixels(good, 4, 2), [[1, 2, 3, 4], [5, 5, 5, 5]])
        for bits, why in ((good[:-2], "no end of picture"), (good + b"\0\1", "data after the end"),
                          (bytes((5, 1)) + good, "a run wider than the row"),
                          (bytes((0, 2, 1, 1)) + good, "a jump"),
                          (bytes((0, 1)), "a short row"),
                          (bytes((0, 9, 1, 2)), "a stretch past the data")):
            with self.assertRaises(ValueError, msg=why):
                rle8_pixels(bits, 4, 2)


class PngImages(unittest.TestCase):
    def test_flat_and_smooth_pictures_decode_to_what_was_drawn(self):
        # Flat colours take the unfiltered form, smooth ramps the filtered
        # one; either must give back the pixels.
        flat = [[(255, 0, 0, 1.0) if x < 20 else (0, 0, 0, 0.0) for x in range(40)] for _ in range(40)]
        ramp = [[(x * 6, y * 6, (x * y) % 256, 0.5) for x in range(40)] for y in range(40)]
        for rows in (flat, ramp, make_images.render(24, make_images.main_icon)):
            want = [[(0, 0, 0, 0) if a <= 0 else (make_images.channel(r), make_images.channel(g),
                                                  make_images.channel(b), make_images.channel(a * 255))
                     for r, g, b, a in row] for row in rows]
            self.assertEqual(png_pixels(make_images.png_rgba(rows)), want)


if __name__ == "__main__":
    unittest.main()
