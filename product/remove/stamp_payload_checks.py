#!/usr/bin/env python3
"""Writes the payload's sizes and CRC-32s into a linked VLRemove.exe.

    stamp_payload_checks.py LINKED OUT NAME=FILE...

NAME=FILE pairs come in the order of kInstalledFileNames; the uninstaller's
own entry is given as NAME=- and gets zeros (it recognises its own file by
comparing it with itself). The table sits behind the marker that
payload_checks.cpp defines: 16 marker bytes, the entry count, then one
(size, CRC-32) pair of little-endian 32-bit words per name. OUT is LINKED
with the table filled in; nothing else changes."""
import struct
import sys
import zlib

MARKER = b"VLPayloadChecks\0"


def main(argv):
    linked, out, pairs = argv[1], argv[2], argv[3:]
    image = bytearray(open(linked, "rb").read())
    at = image.find(MARKER)
    if at < 0 or image.find(MARKER, at + 1) >= 0:
        sys.exit(f"stamp_payload_checks: {linked} must hold the table marker exactly once")
    (count,) = struct.unpack_from("<I", image, at + 16)
    if count != len(pairs):
        sys.exit(f"stamp_payload_checks: the program lists {count} files, the build {len(pairs)}")
    for i, pair in enumerate(pairs):
        name, _, path = pair.partition("=")
        size = crc = 0
        if path != "-":
            data = open(path, "rb").read()
            size, crc = len(data), zlib.crc32(data) & 0xFFFFFFFF
        struct.pack_into("<II", image, at + 20 + 8 * i, size, crc)
    with open(out, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main(sys.argv)
