#!/usr/bin/env python3
"""Checks the shipped programs of a Windows build as a release.

    pe-release.py BUILD_DIR VERSION

BUILD_DIR holds bin/VelmoraSetup.exe and payload/ with the programs the
setup carries (VLRemove.exe, Velmora.scr); VERSION is the build's version
("1.6"). Checks and prints:
  - a size table (size, budget, margin) of every shipped program; the
    setup's budget is for its program part, the file less its payload;
  - that no shipped program carries debug sections or a symbol table;
  - that every version record (fixed and string versions) and every manifest
    identity says VERSION;
  - that the product version the setup writes to the registry says VERSION:
    the setup's code writes DisplayVersion from the generated version header
    and from nothing else, and the build's header says VERSION (checked
    without running the setup; the first-installation case reads the value
    back from the registry).
Exit status 1 when any check fails.
"""

import os
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


# Where the setup writes the Uninstall entry, relative to the source tree.
REGISTRY_WRITER = "install/install_registry.cpp"


def registry_version_problems(build, version):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        with open(os.path.join(build, "generated", "velmora_version.h")) as f:
            header = f.read()
        with open(os.path.join(root, REGISTRY_WRITER)) as f:
            writer = f.read()
    except OSError as e:
        return ["cannot read what the registry's product version comes from: %s" % e]
    problems = []
    text = re.search(r'#define VELMORA_VERSION_TEXT "([^"]*)"', header)
    if not text or text.group(1) != version:
        problems.append("the version header gives the registry %s, not %s"
                        % (text.group(1) if text else "no VELMORA_VERSION_TEXT", version))
    writes = re.findall(r'"DisplayVersion"\s*,\s*([^)]*)\)', writer)
    if writes != ["VELMORA_VERSION_TEXT"]:
        problems.append("%s writes DisplayVersion as %s, not once from VELMORA_VERSION_TEXT"
                        % (REGISTRY_WRITER, writes or "nothing"))
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

    problems += registry_version_problems(build, version)

    print("%-32s %10s %10s %10s" % ("program", "size", "budget", "margin"))
    for label, size, budget in rows:
        print("%-32s %10d %10d %10d" % (label, size, budget, budget - size))
    if whole:
        name, size, payload = whole
        print("%-32s %10d %10s %10s" % (name + " (payload " + str(payload) + ")", size, "-", "-"))
    problems = over + problems
    for p in problems:
        print("pe-release: " + p)
    if not problems:
        print("pe-release: within budget, no debug data, every version record and the registry's "
              "product version say %s" % version)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
