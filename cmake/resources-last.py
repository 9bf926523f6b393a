#!/usr/bin/env python3
"""resources-last.py EXE: moves the resource section of a linked PE image to
the end of the image, in the section table, in memory and in the file.

The linker puts .rsrc before .reloc, and objcopy appends .gnu_debuglink after
both; chunkpack rewrites the stub's resources at pack time and can only grow
a resource section that nothing follows. The sections behind .rsrc move up
unchanged (their contents hold no addresses of their own), the resource
section goes behind them with its data entries' addresses shifted, and the
data directories and the checksum follow. The same input always gives the
same output. The image is rewritten in place; an image whose resource
section is already last is left alone."""
import struct
import sys


def fail(message):
    sys.exit("resources-last: %s: %s" % (sys.argv[1], message))


def align(value, alignment):
    return (value + alignment - 1) & ~(alignment - 1)


def checksum(data, field):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for at in range(0, len(padded), 2):
        if at in (field, field + 2):
            continue
        total += padded[at] | padded[at + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


path = sys.argv[1]
data = bytearray(open(path, "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
    fail("not a PE image")
count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
optional = pe + 24
magic = struct.unpack_from("<H", data, optional)[0]
section_alignment, file_alignment = struct.unpack_from("<II", data, optional + 32)
directories = optional + (112 if magic == 0x20B else 96)
directory_count = struct.unpack_from("<I", data, directories - 4)[0]
table = optional + optional_size

sections = []
for i in range(count):
    vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
    sections.append({"header": bytes(data[table + 40 * i:table + 40 * i + 40]), "vsize": vsize, "va": va,
                     "raw_size": raw_size, "raw": raw})
resource_rva, resource_size = struct.unpack_from("<II", data, directories + 8 * 2)
index = next((i for i, s in enumerate(sections) if s["va"] == resource_rva), None)
if resource_size == 0 or index is None:
    fail("no section begins with the resource directory")
if index == count - 1:
    sys.exit(0)

# Only sections whose contents hold no addresses of their own and that no
# code refers to by address move: the base relocations and the debug link.
# (x64 code reaches data through RIP-relative addresses, which no relocation
# records, so any other section behind .rsrc is refused, not moved.)
symbols, symbol_count = struct.unpack_from("<II", data, pe + 12)
for s in sections[index + 1:]:
    name = s["header"][:8].rstrip(b"\0")
    if name.startswith(b"/") and symbols:
        start = symbols + 18 * symbol_count + int(name[1:])
        name = bytes(data[start:data.index(b"\0", start)])
    if name not in (b".reloc", b".gnu_debuglink"):
        fail("section %s lies behind .rsrc; only .reloc and .gnu_debuglink can move" % name.decode("ascii", "replace"))

# The image must be laid out contiguously from the resource section on, so
# that the moved sections fill exactly the space they leave.
moved = sections[index + 1:] + [sections[index]]
va, raw = sections[index]["va"], sections[index]["raw"]
for s in sections[index:]:
    if s["va"] != va or (s["raw_size"] and s["raw"] != raw):
        fail("the sections from .rsrc on are not contiguous")
    va += align(s["vsize"] or s["raw_size"], section_alignment)
    raw += s["raw_size"]
rest = bytes(data[raw:])  # the COFF string table of long section names, if any

# Nothing may hold an address inside the sections that move but the data
# directories (updated below) and the resource data entries (shifted below):
# base relocations for them would be wrong after the move.
relocation_rva, relocation_size = struct.unpack_from("<II", data, directories + 8 * 5)
moved_from = sections[index]["va"]
for s in sections:
    if s["va"] <= relocation_rva < s["va"] + s["vsize"]:
        block = s["raw"] + relocation_rva - s["va"]
        end = block + relocation_size
        while block + 8 <= end:
            page, size = struct.unpack_from("<II", data, block)
            if page >= moved_from:
                fail("a base relocation points into the sections that move")
            if size < 8:
                break
            block += size

new_va, new_raw = sections[index]["va"], sections[index]["raw"]
for s in moved:
    s["new_va"], s["new_raw"] = new_va, new_raw if s["raw_size"] else 0
    new_va += align(s["vsize"] or s["raw_size"], section_alignment)
    new_raw += s["raw_size"]

out = bytearray(data[:sections[index]["raw"]])
for s in moved:
    out += data[s["raw"]:s["raw"] + s["raw_size"]]
out += rest
for i, s in enumerate(sections[:index] + moved):
    header = bytearray(s["header"])
    if "new_va" in s:
        struct.pack_into("<I", header, 12, s["new_va"])
        struct.pack_into("<I", header, 20, s["new_raw"])
    out[table + 40 * i:table + 40 * i + 40] = header

# Directories that pointed into a moved section point to its new place.
for d in range(directory_count):
    if d == 4:  # the security directory holds a file offset
        continue
    rva = struct.unpack_from("<I", out, directories + 8 * d)[0]
    for s in moved:
        if rva and s["va"] <= rva < s["va"] + max(s["vsize"], s["raw_size"]):
            struct.pack_into("<I", out, directories + 8 * d, rva - s["va"] + s["new_va"])

# Every data entry of the resource tree holds an RVA.
rsrc = moved[-1]
delta = rsrc["new_va"] - rsrc["va"]
base = rsrc["new_raw"]


def shift(offset, level):
    named, numbered = struct.unpack_from("<HH", out, base + offset + 12)
    for i in range(named + numbered):
        target = struct.unpack_from("<I", out, base + offset + 16 + 8 * i + 4)[0]
        if target & 0x80000000:
            if level >= 2:
                fail("the resource tree is deeper than three levels")
            shift(target & 0x7FFFFFFF, level + 1)
        else:
            entry = base + target
            struct.pack_into("<I", out, entry, struct.unpack_from("<I", out, entry)[0] + delta)


shift(0, 0)
last = moved[-1]
struct.pack_into("<I", out, optional + 56, last["new_va"] + align(last["vsize"] or last["raw_size"], section_alignment))
struct.pack_into("<I", out, optional + 64, checksum(bytes(out), optional + 64))
with open(path, "wb") as f:
    f.write(out)
