// The headers of a PE image (PE32 and PE32+) as a file holds them: the
// section table, the data directories and the checksum field. Read from
// untrusted files (an installer under inspection, the bootstrapper's own
// file), so every number is checked against the file before it is used.
// Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/exception.hpp"
#include "io/input.hpp"

namespace archive::pe {

// A file that is not a PE image we can work with; the message says why.
class format_error : public corvid::exception {
public:
    explicit format_error(const std::string& message) : corvid::exception(message) {
        extend_type_path("pe.format_error");
    }
};

// Data directory indexes.
inline constexpr unsigned resource_directory = 2;
inline constexpr unsigned security_directory = 4;
inline constexpr unsigned base_relocation_directory = 5;
inline constexpr unsigned debug_directory = 6;

// One entry of the data directory table. For the security directory the
// address is a file offset, for every other one an RVA.
struct data_directory {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

struct section {
    std::string name;  // up to 8 bytes, trailing NULs removed
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;
    std::uint32_t characteristics = 0;
};

struct image {
    bool pe32_plus = false;
    std::uint64_t file_size = 0;
    std::uint32_t pe_offset = 0;                // "PE\0\0"
    std::uint32_t optional_header_offset = 0;
    std::uint16_t optional_header_size = 0;
    std::uint32_t section_table_offset = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    // File offsets of fields that a writer of the image updates.
    std::uint32_t size_of_image_offset = 0;
    std::uint32_t checksum_offset = 0;
    std::uint32_t directories_offset = 0;       // data directory 0
    std::vector<data_directory> directories;    // NumberOfRvaAndSizes entries, at most 16
    std::vector<section> sections;              // in table order

    // The entry, or an empty one when the table is shorter.
    data_directory directory(unsigned index) const noexcept;
    // File offset of directory entry `index` (which must exist).
    std::uint32_t directory_offset(unsigned index) const noexcept { return directories_offset + 8 * index; }
    // The first section of that name, or null.
    const section* find_section(std::string_view name) const noexcept;
    // The section whose raw data holds `offset`, or null.
    const section* section_at_offset(std::uint64_t offset) const noexcept;
};

// Reads and checks the headers: the MZ and PE signatures, a known optional
// header, a section table inside the headers, and every section's raw data
// inside the file. Throws format_error with the reason otherwise.
image read_image(seekable_input& input);

// Whether the file is a program that the system starts as a process of its
// own: a PE image (PE32 or PE32+) marked executable, not a DLL, for the
// Windows GUI or console subsystem (not a driver, not a native or EFI
// program). A file that is no PE image (a Windows Installer package, a batch
// file) is no program either: only the shell knows what to do with it. Reads
// the headers' first 4 KiB only, as the bootstrapper does before it starts a
// payload; a file that cannot be read is no program.
bool is_program(seekable_input& input);

// The optional header's checksum of a whole file as the loader and the
// signing tools compute it: 16-bit little-endian words summed with end-around
// carry, the checksum field itself counted as zero, plus the file's length.
std::uint32_t checksum(std::string_view file, std::uint32_t checksum_offset);

// Where the archive appended to an image must end. An installer is signed
// after packing, and the signature does not cover the certificate table nor
// the directory entry that locates it: an archive is read only from bytes in
// front of that table, never from the table or from anything behind it.
struct archive_bound {
    enum class type {
        // Not a PE image at all (no "MZ", or no "PE\0\0" where the DOS header
        // points), or one without a certificate table: the archive ends at
        // the end of the file.
        file_end,
        // The archive ends where the certificate table begins (up to 7 zero
        // bytes of alignment padding in between).
        certificate_table,
        // A PE image whose headers do not read as far as the certificate
        // table's entry and the section table, or whose certificate table
        // lies: outside the file, over the headers or the sections' data, an
        // address without a size or a size without an address. No archive.
        unusable,
    };
    type kind = type::file_end;
    std::uint64_t table_offset = 0;  // certificate_table: the table's place
    std::uint64_t table_size = 0;
    const char* reason = "";         // unusable: why
};
archive_bound find_archive_bound(seekable_input& input);

// For an installer whose bound is a certificate table: what the table, or
// the file behind it, holds beyond its signatures. Empty when every entry is
// its 8-byte header and one DER-encoded object (the PKCS#7 signature) with at
// most 7 zero bytes after it, the entries (each at an 8-byte boundary, the
// bytes up to it zero) fill the table exactly, and the table ends the file.
// Otherwise the first thing found, with its file offset.
std::string certificate_table_problem(seekable_input& input, const archive_bound& bound);

// Little-endian fields in a byte buffer; the caller has checked that they
// lie within it. Inline, so that the stub's small readers (the bound, the
// program check) share them without linking the full reader.
inline std::uint16_t read16(std::string_view bytes, std::size_t offset) {
    auto p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t read32(std::string_view bytes, std::size_t offset) {
    return read16(bytes, offset) | std::uint32_t(read16(bytes, offset + 2)) << 16;
}
void write16(std::string& bytes, std::size_t offset, std::uint16_t value);
void write32(std::string& bytes, std::size_t offset, std::uint32_t value);
// The low 16 bits, or all 32, of `value` appended little-endian.
void append16(std::string& out, std::uint32_t value);
void append32(std::string& out, std::uint32_t value);

}  // namespace archive::pe
