#include "pe/pe_image.hpp"

#include <algorithm>

namespace archive::pe {

namespace {

constexpr std::uint16_t pe32_magic = 0x10b;
constexpr std::uint16_t pe32_plus_magic = 0x20b;
constexpr std::size_t coff_header_size = 20;
constexpr std::size_t section_header_size = 40;
// The loader takes no more than 96 sections.
constexpr unsigned max_sections = 96;

std::string read_bytes(seekable_input& input, std::uint64_t size, std::uint64_t offset, std::size_t count,
                       const char* what) {
    if (offset > size || count > size - offset)
        throw format_error(std::string(what) + " lies beyond the end of the file");
    std::string bytes(count, '\0');
    if (count != 0 && !input.read_at(offset, bytes.data(), count))
        throw format_error(std::string("cannot read ") + what + ": " + input.failure_text());
    return bytes;
}

bool power_of_two(std::uint32_t value) noexcept { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

void write16(std::string& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<char>(value);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void write32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

void append16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value));
    out.push_back(static_cast<char>(value >> 8));
}

void append32(std::string& out, std::uint32_t value) {
    append16(out, value & 0xffff);
    append16(out, value >> 16);
}

data_directory image::directory(unsigned index) const noexcept {
    return index < directories.size() ? directories[index] : data_directory{};
}

const section* image::find_section(std::string_view name) const noexcept {
    for (const section& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

const section* image::section_at_offset(std::uint64_t offset) const noexcept {
    for (const section& s : sections)
        if (s.raw_size != 0 && offset >= s.raw_offset && offset - s.raw_offset < s.raw_size) return &s;
    return nullptr;
}

image read_image(seekable_input& input) {
    image result;
    if (!input.size(result.file_size)) throw format_error("cannot tell the file's size: " + input.failure_text());
    const std::uint64_t size = result.file_size;

    const std::string dos = read_bytes(input, size, 0, 64, "the DOS header");
    if (dos[0] != 'M' || dos[1] != 'Z') throw format_error("no MZ header");
    result.pe_offset = read32(dos, 0x3c);

    const std::string coff =
        read_bytes(input, size, result.pe_offset, 4 + coff_header_size, "the PE header");
    if (coff.compare(0, 4, std::string_view("PE\0\0", 4)) != 0) throw format_error("no PE signature");
    const unsigned section_count = read16(coff, 4 + 2);
    result.optional_header_size = read16(coff, 4 + 16);
    if (section_count == 0 || section_count > max_sections)
        throw format_error("the image has " + std::to_string(section_count) + " sections");

    result.optional_header_offset = result.pe_offset + 4 + coff_header_size;
    const std::string optional = read_bytes(input, size, result.optional_header_offset,
                                            result.optional_header_size, "the optional header");
    if (optional.size() < 2) throw format_error("the optional header is too short");
    const std::uint16_t magic = read16(optional, 0);
    if (magic != pe32_magic && magic != pe32_plus_magic) throw format_error("unknown optional header magic");
    result.pe32_plus = magic == pe32_plus_magic;
    const std::size_t count_field = result.pe32_plus ? 108 : 92;
    const std::size_t first_directory = count_field + 4;
    if (optional.size() < first_directory) throw format_error("the optional header is too short");
    const std::uint32_t directory_count = read32(optional, count_field);
    if (directory_count > 16 || first_directory + 8 * std::size_t(directory_count) > optional.size())
        throw format_error("the data directory table does not fit the optional header");

    result.section_alignment = read32(optional, 32);
    result.file_alignment = read32(optional, 36);
    result.size_of_image = read32(optional, 56);
    result.size_of_headers = read32(optional, 60);
    result.checksum = read32(optional, 64);
    result.size_of_image_offset = result.optional_header_offset + 56;
    result.checksum_offset = result.optional_header_offset + 64;
    result.directories_offset = result.optional_header_offset + static_cast<std::uint32_t>(first_directory);
    if (!power_of_two(result.file_alignment) || !power_of_two(result.section_alignment) ||
        result.section_alignment < result.file_alignment)
        throw format_error("the image's alignments are not powers of two");
    for (std::uint32_t i = 0; i < directory_count; ++i)
        result.directories.push_back(
            {read32(optional, first_directory + 8 * i), read32(optional, first_directory + 8 * i + 4)});

    result.section_table_offset = result.optional_header_offset + result.optional_header_size;
    const std::uint64_t table_end =
        std::uint64_t(result.section_table_offset) + section_header_size * std::uint64_t(section_count);
    if (table_end > result.size_of_headers || result.size_of_headers > size)
        throw format_error("the section table does not lie inside the headers");
    const std::string table = read_bytes(input, size, result.section_table_offset,
                                         section_header_size * section_count, "the section table");
    for (unsigned i = 0; i < section_count; ++i) {
        const std::size_t at = section_header_size * i;
        section s;
        s.name.assign(table, at, 8);
        s.name.erase(std::find(s.name.begin(), s.name.end(), '\0'), s.name.end());
        s.virtual_size = read32(table, at + 8);
        s.virtual_address = read32(table, at + 12);
        s.raw_size = read32(table, at + 16);
        s.raw_offset = read32(table, at + 20);
        s.characteristics = read32(table, at + 36);
        if (s.raw_size != 0 && std::uint64_t(s.raw_offset) + s.raw_size > size)
            throw format_error("section " + std::to_string(i) + " reaches beyond the end of the file");
        result.sections.push_back(std::move(s));
    }
    return result;
}

std::uint32_t checksum(std::string_view file, std::uint32_t checksum_offset) {
    std::uint64_t sum = 0;
    const std::size_t words = file.size() / 2;
    for (std::size_t i = 0; i < words; ++i) {
        const std::size_t at = 2 * i;
        if (at == checksum_offset || at == std::size_t(checksum_offset) + 2) continue;
        sum += read16(file, at);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    if (file.size() % 2 != 0) {
        sum += static_cast<unsigned char>(file.back());
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

}  // namespace archive::pe

namespace archive::pe {

namespace {

// The size of the DER object at the start of `bytes` (tag, length, content),
// or 0 when it is not a definite-length SEQUENCE that fits.
std::uint64_t der_object_size(std::string_view bytes) {
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0x30) return 0;
    const unsigned first = static_cast<unsigned char>(bytes[1]);
    std::uint64_t length = first, header = 2;
    if (first >= 0x80) {
        const unsigned count = first & 0x7f;
        if (count == 0 || count > 4 || bytes.size() < 2 + count) return 0;
        length = 0;
        for (unsigned i = 0; i < count; ++i) length = length << 8 | static_cast<unsigned char>(bytes[2 + i]);
        header += count;
    }
    return header + length <= bytes.size() ? header + length : 0;
}

bool all_zero(std::string_view bytes) { return bytes.find_first_not_of('\0') == std::string_view::npos; }

}  // namespace

std::string certificate_table_problem(seekable_input& input, const archive_bound& bound) {
    if (bound.kind != archive_bound::type::certificate_table) return std::string();
    std::uint64_t size = 0;
    if (!input.size(size)) return "the file's size cannot be read: " + input.failure_text();
    const std::uint64_t table_end = bound.table_offset + bound.table_size;
    if (size > table_end)
        return std::to_string(size - table_end) + " bytes behind the certificate table (from offset " +
               std::to_string(table_end) + ")";
    std::string table(static_cast<std::size_t>(bound.table_size), '\0');
    for (std::size_t done = 0; done < table.size();) {
        const std::size_t count = std::min(table.size() - done, max_read_block);
        if (!input.read_at(bound.table_offset + done, table.data() + done, count))
            return "the certificate table cannot be read: " + input.failure_text();
        done += count;
    }
    for (std::size_t at = 0; at < table.size();) {
        const std::string where = " at offset " + std::to_string(bound.table_offset + at);
        if (table.size() - at < 8) return "a partial certificate entry" + where;
        const std::uint32_t length = read32(table, at);
        if (length < 8 || length > table.size() - at) return "a certificate entry whose length does not fit" + where;
        const std::string_view content = std::string_view(table).substr(at + 8, length - 8);
        const std::uint64_t object = der_object_size(content);
        if (object == 0) return "a certificate entry without a DER-encoded signature" + where;
        const std::size_t next = std::min(table.size(), at + ((std::size_t(length) + 7) & ~std::size_t(7)));
        if (content.size() - object > 7 || !all_zero(std::string_view(table).substr(at + 8 + object, next - at - 8 - object)))
            return std::to_string(next - at - 8 - object) + " bytes after the signature of the certificate entry" + where;
        at = next;
    }
    return std::string();
}

}  // namespace archive::pe
