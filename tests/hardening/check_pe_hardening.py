#!/usr/bin/env python3
"""Reads the built installer's PE headers: the DLL search hardening must be in
the image itself, not only in the source.

    check_pe_hardening.py KORVA-Installer.exe UNPROTECTED.exe [PINNED.exe]

The second exe is the same program built without the hardening; every check
must find fault with it, so a check that passes anything is caught too. A
pinned build (KORVA_PUBLISHER_CERTS) must delay-load the Authenticode check's
DLLs as well.
"""
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image  # noqa: E402

LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
DEPENDENT_LOAD_FLAGS_OFFSET = 0x4E
IMPORT_DIRECTORY, LOAD_CONFIG_DIRECTORY, DELAY_IMPORT_DIRECTORY = 1, 10, 13

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows
# 10 and 11: always mapped from System32, whatever lies beside the exe.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
# What the installer uses that Windows does not protect that way.
MUST_BE_DELAY_LOADED = {"winhttp.dll", "bcrypt.dll", "comctl32.dll"}
PINNED_MUST_BE_DELAY_LOADED = MUST_BE_DELAY_LOADED | {"wintrust.dll", "crypt32.dll"}


def static_imports(image):
    rva, _ = image.directory(IMPORT_DIRECTORY)
    names = []
    while rva:
        offset = image.offset(rva, 20)
        if offset is None:
            raise ValueError("import descriptor outside the file")
        lookup, _, _, name_rva, address_table = struct.unpack_from("<5I", image.data, offset)
        if not (lookup or name_rva or address_table):
            break
        names.append(image.c_string(name_rva).lower())
        rva += 20
    return names


def delay_imports(image):
    """Names of the delay-loaded DLLs. GNU ld leaves the delay import directory
    empty (the helper is handed each descriptor by its thunks), so without a
    directory the descriptors are found by their shape: attributes 1 (RVA
    based), four RVAs inside the image, and a DLL name at the first."""
    rva, size = image.directory(DELAY_IMPORT_DIRECTORY)
    candidates = []
    if rva:
        offset = image.offset(rva, size)
        candidates = range(offset, offset + size, 32) if offset is not None else []
    else:
        for _, _, raw_offset, raw_size in image.sections:
            candidates.extend(range(raw_offset, raw_offset + raw_size - 32 + 1, 4))
    names = set()
    for offset in candidates:
        attributes, name, module, address_table, name_table = struct.unpack_from("<5I", image.data, offset)
        if attributes != 1 or not all(0 < value < image.size_of_image for value in (name, module, address_table,
                                                                                    name_table)):
            continue
        text = image.c_string(name)
        if text and re.fullmatch(r"[A-Za-z0-9_.-]+\.dll", text, re.IGNORECASE):
            names.add(text.lower())
    return names


def dependent_load_flags(image):
    """DependentLoadFlags, or None when the image has no usable load config."""
    rva, size = image.directory(LOAD_CONFIG_DIRECTORY)
    if not rva or size < DEPENDENT_LOAD_FLAGS_OFFSET + 2:
        return None
    offset = image.offset(rva, size)
    if offset is None or image.u32(offset) != size:
        return None
    return image.u16(offset + DEPENDENT_LOAD_FLAGS_OFFSET)


def header_checksum(image):
    data = bytearray(image.data)
    struct.pack_into("<I", data, image.checksum_offset, 0)
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image.data)


def problems(path, must_be_delay_loaded=MUST_BE_DELAY_LOADED):
    """What keeps this image from being hardened; empty when it is."""
    image = Image(path)
    found = []
    flags = dependent_load_flags(image)
    if flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        found.append("load config: " + ("none" if flags is None else f"DependentLoadFlags {flags:#x}"))
    imports = static_imports(image)
    for name in imports:
        if name not in KNOWN_DLLS:
            found.append(f"start-up import of {name}, which is not a KnownDLL")
    delayed = delay_imports(image)
    for name in sorted(must_be_delay_loaded - delayed):
        found.append(f"{name} is not delay-loaded")
    stored = image.u32(image.checksum_offset)
    if stored and stored != header_checksum(image):
        found.append(f"header checksum {stored:#x} is stale")
    print(f"{path}:\n  imports: {', '.join(imports)}\n  delay-loaded: {', '.join(sorted(delayed)) or 'none'}"
          f"\n  DependentLoadFlags: {'none' if flags is None else hex(flags)}")
    return found


def main():
    protected, unprotected = sys.argv[1], sys.argv[2]
    failures = [f"FAIL: {protected}: {p}" for p in problems(protected)]
    for pinned in sys.argv[3:]:
        failures += [f"FAIL: {pinned}: {p}" for p in problems(pinned, PINNED_MUST_BE_DELAY_LOADED)]
    control = problems(unprotected)
    # The control must trip every kind of check, or that check proves nothing.
    for expected in ("load config", "start-up import of winhttp.dll", "start-up import of bcrypt.dll",
                     "start-up import of comctl32.dll", "winhttp.dll is not delay-loaded"):
        if not any(p.startswith(expected) for p in control):
            failures.append(f"FAIL: the unprotected build passed the check '{expected}'")
    print("\n".join(failures) if failures else "hardening is in the image")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
