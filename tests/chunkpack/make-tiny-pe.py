#!/usr/bin/env python3
"""Writes a minimal valid PE32 (i386) executable: headers and one code section,
and with --commit a second section holding an empty commitment slot, as the
bootstrapper reserves it. It is a stand-in stub for packing and signing tests
and is never run. Usage: make-tiny-pe.py [--commit] OUT"""
import struct
import sys

commit = "--commit" in sys.argv[1:]
out = [a for a in sys.argv[1:] if a != "--commit"][0]
sections = 2 if commit else 1

file_alignment = 0x200
section_alignment = 0x1000

dos = bytearray(64)
dos[0:2] = b"MZ"
struct.pack_into("<I", dos, 0x3C, 0x40)

coff = struct.pack("<HHIIIHH", 0x14C, sections, 0, 0, 0, 0xE0, 0x0102)

optional = struct.pack(
    "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
    0x10B, 0, 0,                 # magic, linker version
    file_alignment, 0, 0,        # size of code, initialised, uninitialised data
    0x1000, 0x1000, 0x1000,      # entry point, base of code, base of data
    0x400000, section_alignment, file_alignment,
    4, 0, 0, 0, 4, 0,            # OS, image, subsystem versions
    0,                           # Win32VersionValue
    0x1000 + 0x1000 * sections, file_alignment,  # size of image, size of headers
    0,                           # checksum
    3, 0x0140,                   # console subsystem; dynamic base, NX compatible
    0x100000, 0x1000, 0x100000, 0x1000,
    0, 16)                       # loader flags, number of data directories
optional += bytes(16 * 8)
assert len(optional) == 0xE0

section = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, file_alignment, file_alignment,
                      0, 0, 0, 0, 0x60000020)
slot = b"archive-commitment" + bytes(2) + struct.pack("<II", 1, 0) + bytes(40)
if commit:
    # Initialised read-only data.
    section += struct.pack("<8sIIIIIIHHI", b".commit", len(slot), 0x2000, file_alignment, 2 * file_alignment,
                           0, 0, 0, 0, 0x40000040)

headers = bytes(dos) + b"PE\0\0" + coff + optional + section
headers += bytes(file_alignment - len(headers))
code = b"\x31\xc0\xc3"  # xor eax, eax; ret
code += bytes(file_alignment - len(code))
if commit:
    code += slot + bytes(file_alignment - len(slot))

with open(out, "wb") as f:
    f.write(headers + code)
