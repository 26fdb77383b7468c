#!/usr/bin/env python3
"""Points the PE load configuration directory at _load_config_used.

GNU ld 2.40 links the _load_config_used record (app/load_config.cpp) but
leaves data directory 10 empty, so Windows would never read it; this step
fills the directory in after the link, using the record's address from the
linker map, and fixes the header checksum. On any failure the exe is deleted
so that the next build links it again instead of shipping it unprotected.

ld writes the link time into the header; with --timestamp the header gets
that value instead (SOURCE_DATE_EPOCH), so that a rebuild of the same source
gives the same bytes. The checksum is computed after both changes.

    fill-load-config-directory.py [--timestamp=SECONDS] EXE MAP
"""
import os
import re
import shutil
import struct
import sys

LOAD_CONFIG_DIRECTORY = 10
DEPENDENT_LOAD_FLAGS_OFFSET = 0x4E
# Every field up to DependentLoadFlags must be there for the loader to use it.
MINIMUM_SIZE = DEPENDENT_LOAD_FLAGS_OFFSET + 2


def symbol_address(map_text, name):
    match = re.search(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(name) + r"\s*$", map_text, re.MULTILINE)
    if not match:
        raise ValueError(f"{name} is not in the linker map")
    return int(match.group(1), 16)


def pe_layout(image):
    """Offsets of the fields this step touches, and the section table."""
    if image[:2] != b"MZ":
        raise ValueError("not an MZ image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    section_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise ValueError("not a PE32+ image")
    image_base = struct.unpack_from("<Q", image, optional + 24)[0]
    directory_count = struct.unpack_from("<I", image, optional + 108)[0]
    if directory_count <= LOAD_CONFIG_DIRECTORY:
        raise ValueError("the image has no load configuration directory slot")
    sections = []
    for index in range(section_count):
        header = optional + optional_size + 40 * index
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
        sections.append((rva, max(virtual_size, raw_size), raw_offset, raw_size))
    return {
        "image_base": image_base,
        "timestamp": pe + 8,
        "checksum": optional + 64,
        "directory": optional + 112 + 8 * LOAD_CONFIG_DIRECTORY,
        "sections": sections,
    }


def file_offset(layout, rva, length):
    for start, size, raw_offset, raw_size in layout["sections"]:
        if start <= rva and rva + length <= start + min(size, raw_size):
            return raw_offset + rva - start
    raise ValueError(f"RVA {rva:#x} is not backed by file data")


def pe_checksum(image, checksum_offset):
    """The header checksum as Windows' CheckSumMappedFile computes it."""
    data = image[:checksum_offset] + b"\0\0\0\0" + image[checksum_offset + 4:]
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def fill_directory(image, map_text, timestamp=None):
    layout = pe_layout(image)
    rva = symbol_address(map_text, "_load_config_used") - layout["image_base"]
    offset = file_offset(layout, rva, MINIMUM_SIZE)
    size = struct.unpack_from("<I", image, offset)[0]
    flags = struct.unpack_from("<H", image, offset + DEPENDENT_LOAD_FLAGS_OFFSET)[0]
    if size < MINIMUM_SIZE or flags == 0:
        raise ValueError(f"_load_config_used at RVA {rva:#x} does not look like a load configuration record")
    file_offset(layout, rva, size)
    struct.pack_into("<II", image, layout["directory"], rva, size)
    if timestamp is not None:
        struct.pack_into("<I", image, layout["timestamp"], timestamp)
    if struct.unpack_from("<I", image, layout["checksum"])[0] != 0:
        struct.pack_into("<I", image, layout["checksum"], pe_checksum(image, layout["checksum"]))
    return rva, size, flags


def main():
    args = sys.argv[1:]
    timestamp = None
    if args and args[0].startswith("--timestamp="):
        timestamp = int(args.pop(0).split("=", 1)[1])
        if not 0 <= timestamp < 1 << 32:
            print(f"fill-load-config-directory: time stamp {timestamp} does not fit the PE header", file=sys.stderr)
            return 1
    exe, map_path = args
    try:
        with open(map_path, encoding="utf-8", errors="replace") as map_file:
            map_text = map_file.read()
        with open(exe, "rb") as exe_file:
            image = bytearray(exe_file.read())
        rva, size, flags = fill_directory(image, map_text, timestamp)
        with open(exe + ".tmp", "wb") as out:
            out.write(image)
        shutil.copymode(exe, exe + ".tmp")
        os.replace(exe + ".tmp", exe)
    except (OSError, ValueError, struct.error) as error:
        print(f"fill-load-config-directory: {exe}: {error}", file=sys.stderr)
        for path in (exe, exe + ".tmp"):
            if os.path.exists(path):
                os.remove(path)
        return 1
    print(f"-- {os.path.basename(exe)}: load configuration at RVA {rva:#x}, {size} bytes, "
          f"DependentLoadFlags {flags:#x}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
