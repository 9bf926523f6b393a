// Where an installer's archive ends: read by every run from its own file, so
// kept apart from the rest of the header reader (which only the packer
// needs) and small.
#include <algorithm>
#include <cstring>

#include "pe/pe_image.hpp"

namespace archive::pe {

namespace {

// The headers are read from the start of the file in one go; images whose
// headers lie further in are not ours (a linker puts them in the first
// kilobyte).
constexpr std::size_t header_window = 4096;

}  // namespace

archive_bound find_archive_bound(seekable_input& input) {
    archive_bound bound;
    std::uint64_t size = 0;
    unsigned char headers[header_window] = {};
    if (!input.size(size) || size < 64) return bound;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, header_window));
    if (!input.read_at(0, headers, count)) return bound;
    const std::string_view bytes(reinterpret_cast<const char*>(headers), count);
    auto at = [&](std::uint64_t offset, std::size_t width) { return offset <= count && width <= count - offset; };
    auto unusable = [&](const char* reason) {
        bound.kind = archive_bound::type::unusable;
        bound.reason = reason;
        return bound;
    };

    // Not a PE image at all: no "MZ", or no "PE\0\0" where the DOS header
    // points. Whoever signs an image signs these bytes.
    const std::uint32_t pe = read32(bytes, 0x3c);
    if (bytes.compare(0, 2, "MZ") != 0) return bound;
    if (pe + std::uint64_t(4) > size) return bound;
    if (!at(pe, 24)) return unusable("the PE header does not lie in the file's first 4 KB");
    if (bytes.compare(pe, 4, std::string_view("PE\0\0", 4)) != 0) return bound;

    const unsigned sections = read16(bytes, pe + 6), optional_size = read16(bytes, pe + 20);
    const std::uint64_t optional = std::uint64_t(pe) + 24, table = optional + optional_size;
    if (sections == 0 || sections > 96) return unusable("the image has no sections or more than 96");
    if (!at(optional, optional_size) || !at(table, 40 * sections))
        return unusable("the image's headers do not lie in the file's first 4 KB");
    const std::uint16_t magic = optional_size >= 2 ? read16(bytes, optional) : 0;
    if (magic != 0x10b && magic != 0x20b) return unusable("unknown optional header magic");
    const std::size_t count_field = magic == 0x20b ? 108 : 92;
    if (optional_size < count_field + 4) return unusable("the optional header is too short");
    const std::uint32_t directories = read32(bytes, optional + count_field);
    if (directories > 16 || count_field + 4 + 8 * std::uint64_t(directories) > optional_size)
        return unusable("the data directory table does not fit the optional header");
    if (directories <= security_directory) return bound;
    const std::uint32_t address = read32(bytes, optional + count_field + 4 + 8 * security_directory);
    const std::uint32_t table_size = read32(bytes, optional + count_field + 8 + 8 * security_directory);
    if (address == 0 && table_size == 0) return bound;

    // The image: the headers and every section's data.
    std::uint64_t image_end = read32(bytes, optional + 60);
    for (unsigned i = 0; i < sections; ++i) {
        const std::uint64_t raw_size = read32(bytes, table + 40 * i + 16);
        const std::uint64_t raw_end = read32(bytes, table + 40 * i + 20) + raw_size;
        if (raw_size != 0) image_end = std::max(image_end, raw_end);
    }
    if (image_end > size) return unusable("the image's headers or sections reach beyond the end of the file");
    if (address == 0 || table_size == 0) return unusable("the certificate table has an address or a size, not both");
    if (address < image_end) return unusable("the certificate table overlaps the image's headers or sections");
    if (std::uint64_t(address) + table_size > size)
        return unusable("the certificate table reaches beyond the end of the file");
    bound.kind = archive_bound::type::certificate_table;
    bound.table_offset = address;
    bound.table_size = table_size;
    return bound;
}

}  // namespace archive::pe
