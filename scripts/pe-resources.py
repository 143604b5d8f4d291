#!/usr/bin/env python3
"""Checks that a build of VelmoraSetup.exe carries the resources it needs.

    pe-resources.py VelmoraSetup.exe

Reads the program's resource directory (PE32 or PE32+) and checks: the five
wizard pages 101 to 105 (276 x 140 units, MS Sans Serif 8, the caption of
page 101), bitmaps 101 to 103 (the wizard picture at 90, 135 and 180 pixels
for 96, 144 and 192 DPI, 8 bits per pixel, every pixel decoding within the
picture and its palette), the icon groups MAINICON (48 x 48 in
256 colours, 32 x 32 and 16 x 16 in 16 colours, 32-bit images from 16 to 256
pixels), 101 and 102 (32-bit images up to 32 pixels), the licence RTF 101,
the payload ARC 101, the manifest (administrator rights, DPI awareness,
common controls 6) and the version record. Prints one line per finding; exit status 1 when
anything is missing or wrong.
"""

import struct
import sys

from pe_image import (Pe, RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST, rle8_pixels,
                      utf16z)


def sz_or_ord(data, at):
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    if first == 0:
        return "", at + 2
    return utf16z(data, at)


def dialog_summary(data):
    style, _, count, _, _, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    at = 18
    _, at = sz_or_ord(data, at)       # menu
    _, at = sz_or_ord(data, at)       # class
    caption, at = sz_or_ord(data, at)
    points = struct.unpack_from("<H", data, at)[0]
    font, _ = utf16z(data, at + 2)
    return style, count, cx, cy, caption, points, font


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            res = Pe(f.read()).resources()
    except (OSError, ValueError, struct.error) as e:
        print("pe-resources: cannot read the resources of %s: %s" % (sys.argv[1], e))
        return 1
    problems = []

    def need(ok, what):
        if not ok:
            problems.append(what)

    dialogs = res.get(RT_DIALOG, {})
    for page in range(101, 106):
        if page not in dialogs:
            problems.append("dialog %d is missing" % page)
            continue
        style, count, cx, cy, caption, points, font = dialog_summary(dialogs[page])
        need((cx, cy) == (276, 140), "dialog %d is %dx%d" % (page, cx, cy))
        need((points, font) == (8, "MS Sans Serif"), "dialog %d font %s %d" % (page, font, points))
        want = "Velmora screen saver Setup" if page == 101 else ""
        need(caption == want, "dialog %d caption %r" % (page, caption))
        need(style & 0x00C00000 == 0x00C00000 and style & 0x40, "dialog %d style 0x%x" % (page, style))

    # The wizard picture for 96 DPI, and its versions for 144 and 192 DPI.
    for bitmap_id, side in ((101, 90), (102, 135), (103, 180)):
        bitmap = res.get(RT_BITMAP, {}).get(bitmap_id)
        if bitmap is None:
            problems.append("bitmap %d is missing" % bitmap_id)
            continue
        size, w, h, _, bpp, compression, _, _, _, used = struct.unpack_from("<IiiHHIIiiI", bitmap, 0)
        need((w, abs(h), bpp) == (side, side, 8), "bitmap %d is %dx%d at %d bits" % (bitmap_id, w, h, bpp))
        # Every pixel decodes, within the picture and its palette.
        colours = used or 256
        bits = bitmap[size + 4 * colours:]
        try:
            if compression == 1:
                rows = rle8_pixels(bits, w, h)
            elif compression == 0 and len(bits) >= ((w + 3) & ~3) * h:
                rows = [bits[y * ((w + 3) & ~3):y * ((w + 3) & ~3) + w] for y in range(h)]
            else:
                raise ValueError("compression %d with %d bytes of bits" % (compression, len(bits)))
            need(max(max(row) for row in rows) < colours,
                 "bitmap %d uses colours beyond its %d" % (bitmap_id, colours))
        except ValueError as e:
            problems.append("bitmap %d does not decode: %s" % (bitmap_id, e))

    groups = res.get(RT_GROUP_ICON, {})
    icons = res.get(RT_ICON, {})
    alpha = [(n, 32) for n in (16, 20, 24, 32, 48, 256)]
    button_alpha = [(n, 32) for n in (16, 20, 24, 32)]
    wanted_icons = {"MAINICON": [(48, 8), (32, 4), (16, 4)] + alpha,
                    101: [(32, 4), (16, 4)] + button_alpha, 102: [(32, 4), (16, 4)] + button_alpha}
    for name, sizes in wanted_icons.items():
        group = groups.get(name)
        if group is None:
            problems.append("icon group %s is missing" % name)
            continue
        count = struct.unpack_from("<H", group, 4)[0]
        found = []
        for i in range(count):
            w, h, _, _, _, bpp, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            found.append((w or 256, bpp))
            need(icon_id in icons, "icon %d of group %s is missing" % (icon_id, name))
        need(sorted(found) == sorted(sizes), "icon group %s has %s" % (name, found))

    rtf = res.get("RTF", {}).get(101)
    need(rtf is not None and rtf.startswith(b"{\\rtf") and 3000 < len(rtf) < 8000,
         "licence RTF 101 missing or not an RTF document of about 4 KB")
    arc = res.get("ARC", {}).get(101)
    need(arc is not None and arc[:1] in (b"\x52", b"\x72") and arc[1:7] == bytes([0x61, 0x72, 0x21, 0x1A, 0x07, 0x00]),
         "payload ARC 101 missing or without its archive marker")

    manifest = res.get(RT_MANIFEST, {}).get(1, b"")
    need(b'level="requireAdministrator"' in manifest, "manifest does not ask for administrator rights")
    need(b"supportedOS" in manifest, "manifest declares no supported Windows versions")
    need(b"<dpiAware" in manifest and b">true</dpiAware>" in manifest,
         "manifest does not declare system DPI awareness")
    need(b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' in manifest,
         "manifest does not bind the common controls of version 6")

    version = res.get(RT_VERSION, {}).get(1, b"")
    text = version.decode("utf-16-le", "replace")
    for key, value in (("ProductName", "Velmora"), ("CompanyName", "Tarvik"),
                       ("FileDescription", "Velmora Setup"), ("ProductVersion", "1.6")):
        need(key in text and value in text, "version record lacks %s %s" % (key, value))

    for p in problems:
        print("pe-resources: " + p)
    if not problems:
        print("pe-resources: %s carries dialogs 101-105, bitmap, icons, licence, payload, manifest, version"
              % sys.argv[1])
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
