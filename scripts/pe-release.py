#!/usr/bin/env python3
"""Checks the shipped programs of a Windows build as a release.

    pe-release.py [--budgets-advisory] BUILD_DIR VERSION

BUILD_DIR holds bin/VelmoraSetup.exe and payload/ with the programs the
setup carries (VLRemove.exe, Velmora.scr); VERSION is the build's version
("1.6"). Checks and prints:
  - a size table (size, budget, margin) of every shipped program; the
    setup's budget is for its program part, the file less its payload;
  - that no shipped program carries debug sections or a symbol table;
  - that every version record (fixed and string versions) and every manifest
    identity says VERSION.
Exit status 1 when any check fails; with --budgets-advisory a program over
its size budget is printed as such but does not fail the run.
"""

import re
import struct
import sys

from pe_image import Pe, RT_MANIFEST, RT_VERSION, version_record

KB = 1024
# (file under BUILD_DIR, budget in bytes, whether the ARC payload is excluded)
PROGRAMS = [
    ("bin/VelmoraSetup.exe", 160 * KB, True),
    ("payload/VLRemove.exe", 64 * KB, False),
    ("payload/Velmora.scr", 64 * KB, False),
]


def version_problems(name, pe, resources, version):
    problems = []
    parts = [int(p) for p in version.split(".")]
    quad = tuple((parts + [0, 0, 0, 0])[:4])
    record = resources.get(RT_VERSION, {}).get(1)
    if record is None:
        return ["%s has no version record" % name]
    try:
        file_version, product_version, strings = version_record(record)
    except (ValueError, struct.error) as e:
        return ["%s: unreadable version record: %s" % (name, e)]
    if file_version != quad or product_version != quad:
        problems.append("%s: fixed versions %s / %s, not %s" % (name, file_version, product_version, quad))
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != version:
            problems.append("%s: %s is %r, not %r" % (name, key, strings.get(key), version))
    manifest = resources.get(RT_MANIFEST, {}).get(1)
    if manifest is not None:
        identity = re.search(rb"<assemblyIdentity\b[^>]*>", manifest)
        found = identity and re.search(rb'\bversion="([^"]*)"', identity.group(0))
        want = ".".join(str(p) for p in quad)
        if not found or found.group(1).decode() != want:
            problems.append("%s: manifest identity version %s, not %s"
                            % (name, found.group(1).decode() if found else "missing", want))
    elif name.endswith("VelmoraSetup.exe"):
        problems.append("%s has no manifest" % name)
    return problems


def debug_problems(name, pe):
    problems = []
    # MinGW names its DWARF sections .debug_*; names longer than eight
    # characters appear as "/offset" into the string table.
    debug = [s for s, _ in pe.section_names if s.startswith(".debug") or s.startswith("/")]
    if debug:
        problems.append("%s carries debug sections %s" % (name, " ".join(debug)))
    if pe.symbol_table or pe.symbol_count:
        problems.append("%s carries a symbol table (%d symbols)" % (name, pe.symbol_count))
    return problems


def main():
    args = sys.argv[1:]
    advisory = args[:1] == ["--budgets-advisory"]
    if advisory:
        args = args[1:]
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    build, version = args
    problems = []
    over = []
    rows = []
    whole = None
    for relative, budget, less_payload in PROGRAMS:
        path = "%s/%s" % (build, relative)
        name = relative.split("/")[-1]
        try:
            with open(path, "rb") as f:
                data = f.read()
            pe = Pe(data)
            resources = pe.resources()
        except (OSError, ValueError, struct.error) as e:
            problems.append("cannot read %s: %s" % (path, e))
            continue
        size = len(data)
        label = name
        if less_payload:
            payload = resources.get("ARC", {}).get(101)
            if payload is None:
                problems.append("%s carries no ARC 101 payload" % name)
                continue
            whole = (name, size, len(payload))
            size -= len(payload)
            label = name + " less ARC 101"
        rows.append((label, size, budget))
        if size > budget:
            over.append("%s is %d bytes, over its budget of %d" % (label, size, budget))
        problems += debug_problems(name, pe)
        problems += version_problems(name, pe, resources, version)

    print("%-32s %10s %10s %10s" % ("program", "size", "budget", "margin"))
    for label, size, budget in rows:
        print("%-32s %10d %10d %10d" % (label, size, budget, budget - size))
    if whole:
        name, size, payload = whole
        print("%-32s %10d %10s %10s" % (name + " (payload " + str(payload) + ")", size, "-", "-"))
    if advisory:
        for p in over:
            print("pe-release: OVER BUDGET (reported, not failing this run): " + p)
    else:
        problems = over + problems
    for p in problems:
        print("pe-release: " + p)
    if not problems and not over:
        print("pe-release: within budget, no debug data, every version record says %s" % version)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
