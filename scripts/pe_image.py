"""Reading a Windows program (PE32 or PE32+) for the release checks: its
headers, sections, resources and version record. Raises ValueError (or
struct.error) on a file that is not a well-formed program."""

import struct

RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 5, 14, 16, 24


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        (self.machine, sections, self.timestamp, self.symbol_table,
         self.symbol_count, opt_size) = struct.unpack_from("<HHIIIH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.rsrc_rva = self.directories[2][0]
        self.sections = []
        self.section_names = []
        table = opt + opt_size
        for i in range(sections):
            name = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((va, max(vsize, rawsize), raw))
            self.section_names.append((name, rawsize))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("address 0x%x outside the sections" % rva)

    def name(self, field):
        if field & 0x80000000:
            at = self.offset(self.rsrc_rva) + (field & 0x7FFFFFFF)
            length = struct.unpack_from("<H", self.data, at)[0]
            return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        return field

    def directory(self, at):
        base = self.offset(self.rsrc_rva)
        named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
            yield self.name(name), target

    def resources(self):
        """{type: {name: bytes}}, first language of each."""
        if not self.rsrc_rva:
            return {}
        base = self.offset(self.rsrc_rva)
        out = {}
        for rtype, t in self.directory(0):
            for rname, n in self.directory(t & 0x7FFFFFFF):
                for _, leaf in self.directory(n & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    out.setdefault(rtype, {})[rname] = self.data[self.offset(rva):self.offset(rva) + size]
                    break
        return out


def utf16z(data, at):
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def version_record(record):
    """(file version, product version, {string name: value}) of an RT_VERSION
    resource; the versions as tuples of four numbers."""
    def align(at):
        return (at + 3) & ~3

    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", record, at)
        key, after = utf16z(record, at + 6)
        return length, value_length, kind, key, align(after)

    length, value_length, _, key, at = node(0)
    if key != "VS_VERSION_INFO" or value_length < 52:
        raise ValueError("no VS_VERSION_INFO record")
    signature, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", record, at)
    if signature != 0xFEEF04BD:
        raise ValueError("no fixed file information")
    file_version = (fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF)
    product_version = (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF)
    strings = {}
    child = align(at + value_length)
    while child < length:
        c_length, _, _, c_key, c_at = node(child)
        if c_length == 0:
            break
        if c_key == "StringFileInfo":
            table = c_at
            while table < child + c_length:
                t_length, _, _, _, t_at = node(table)
                entry = t_at
                while entry < table + t_length:
                    e_length, e_value_length, _, e_key, e_at = node(entry)
                    if e_length == 0:
                        break
                    value = record[e_at:e_at + 2 * e_value_length].decode("utf-16-le").rstrip("\0")
                    strings[e_key] = value
                    entry = align(entry + e_length)
                table = align(table + max(t_length, 1))
        child = align(child + c_length)
    return file_version, product_version, strings


def rle8_pixels(bits, width, height):
    """The rows (top row first, lists of palette indexes) of an 8-bit
    run-length encoded bitmap's bits. Raises ValueError on a stream that
    leaves the picture, stops short of its end or does not end where the
    bitmap does."""
    rows = [[] for _ in range(height)]
    x = y = at = 0
    while True:
        if at + 2 > len(bits):
            raise ValueError("run-length data ends without an end of picture")
        count, value = bits[at], bits[at + 1]
        at += 2
        if count:
            if y >= height or x + count > width:
                raise ValueError("a run leaves the picture at row %d" % y)
            rows[y].extend([value] * count)
            x += count
        elif value == 0 or value == 1:  # end of row, end of picture
            if y >= height or x != width:
                raise ValueError("row %d holds %d of %d pixels" % (y, x, width))
            x, y = 0, y + 1
            if value == 1:
                break
        elif value == 2:
            raise ValueError("a jump leaves pixels undefined")
        else:
            if y >= height or x + value > width or at + value > len(bits):
                raise ValueError("an absolute stretch leaves the picture at row %d" % y)
            rows[y].extend(bits[at:at + value])
            x += value
            at += value + (value & 1)
    if y != height or at != len(bits):
        raise ValueError("the picture ends after %d of %d rows, %d bytes left" % (y, height, len(bits) - at))
    rows.reverse()  # stored bottom-up
    return rows
