#!/usr/bin/env python3
"""make-tiny-pe.py [--commit] [--resources] OUT
Writes a minimal valid PE32 (i386) executable: headers and one code section.
It is a stand-in stub for packing and signing tests and is never run. With
--commit it has a section holding an empty commitment slot, as the
bootstrapper reserves it; with --resources a last section .rsrc holding the
string table block of strings 2001 "Brellory" and 2002 "Tarnwick" (US
English), as the bootstrapper's does."""
import struct
import sys

commit = "--commit" in sys.argv[1:]
with_resources = "--resources" in sys.argv[1:]
out = [a for a in sys.argv[1:] if not a.startswith("--")][0]

file_alignment = 0x200
section_alignment = 0x1000
slot = b"archive-commitment" + bytes(2) + struct.pack("<II", 1, 0) + bytes(40)
# .text at 0x1000, then .commit, then .rsrc, a page each.
rsrc_rva = 0x2000 + (0x1000 if commit else 0)


def string_table():
    strings = [""] * 16
    strings[1], strings[2] = "Brellory", "Tarnwick"
    block = b"".join(struct.pack("<H", len(s)) + s.encode("utf-16-le") for s in strings)
    tree = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 6, 0x80000018)         # type 6
    tree += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 126, 0x80000030)      # block 126
    tree += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 0x409, 0x48)          # US English
    tree += struct.pack("<IIII", rsrc_rva + 0x58, len(block), 0, 0)
    assert len(tree) == 0x58
    return tree + block


rsrc = string_table() if with_resources else b""
sections = 1 + commit + with_resources

dos = bytearray(64)
dos[0:2] = b"MZ"
struct.pack_into("<I", dos, 0x3C, 0x40)

coff = struct.pack("<HHIIIHH", 0x14C, sections, 0, 0, 0, 0xE0, 0x0102)

optional = struct.pack(
    "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
    0x10B, 0, 0,                 # magic, linker version
    file_alignment, file_alignment if with_resources else 0, 0,  # size of code, initialised, uninitialised data
    0x1000, 0x1000, 0x1000,      # entry point, base of code, base of data
    0x400000, section_alignment, file_alignment,
    4, 0, 0, 0, 4, 0,            # OS, image, subsystem versions
    0,                           # Win32VersionValue
    0x1000 + 0x1000 * sections, file_alignment,  # size of image, size of headers
    0,                           # checksum
    3, 0x0140,                   # console subsystem; dynamic base, NX compatible
    0x100000, 0x1000, 0x100000, 0x1000,
    0, 16)                       # loader flags, number of data directories
directories = bytearray(16 * 8)
if with_resources:
    struct.pack_into("<II", directories, 2 * 8, rsrc_rva, len(rsrc))
optional += bytes(directories)
assert len(optional) == 0xE0

section = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, file_alignment, file_alignment,
                      0, 0, 0, 0, 0x60000020)
raw = 2 * file_alignment
if commit:
    # Initialised read-only data.
    section += struct.pack("<8sIIIIIIHHI", b".commit", len(slot), 0x2000, file_alignment, raw,
                           0, 0, 0, 0, 0x40000040)
    raw += file_alignment
if with_resources:
    section += struct.pack("<8sIIIIIIHHI", b".rsrc", len(rsrc), rsrc_rva, file_alignment, raw,
                           0, 0, 0, 0, 0x40000040)

headers = bytes(dos) + b"PE\0\0" + coff + optional + section
headers += bytes(file_alignment - len(headers))
code = b"\x31\xc0\xc3"  # xor eax, eax; ret
code += bytes(file_alignment - len(code))
if commit:
    code += slot + bytes(file_alignment - len(slot))
data = rsrc + bytes(-len(rsrc) % file_alignment)

with open(out, "wb") as f:
    f.write(headers + code + data)
