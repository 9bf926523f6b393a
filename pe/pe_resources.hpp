// The resources of a PE image (PE32 and PE32+): the three-level directory
// tree (type, name, language) read into a flat table, and a rewrite of the
// image whose resource section is rebuilt from such a table. The reader
// takes untrusted files (installers under inspection); the writer works on a
// stub in memory and leaves every byte outside the resource section as it
// was, apart from the header fields that describe that section.
// Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_image.hpp"

namespace archive::pe {

// Resource types used here.
inline constexpr std::uint32_t rt_icon = 3;
inline constexpr std::uint32_t rt_string = 6;
inline constexpr std::uint32_t rt_group_icon = 14;
inline constexpr std::uint32_t rt_version = 16;

// A type or a name: a number, or a text (UTF-16, as stored).
struct resource_id {
    bool is_text = false;
    std::uint32_t number = 0;
    std::u16string text;

    static resource_id of(std::uint32_t n) { return resource_id{false, n, {}}; }
    bool operator==(const resource_id& other) const noexcept {
        return is_text == other.is_text && (is_text ? text == other.text : number == other.number);
    }
    // The order of a directory table: every text before every number, texts
    // by their UTF-16 code units, numbers ascending.
    bool operator<(const resource_id& other) const noexcept;
};

struct resource {
    resource_id type;
    resource_id name;
    std::uint32_t language = 0;
    std::uint32_t code_page = 0;
    std::string data;
};

// Every resource of an image, in directory order after normalize().
struct resource_table {
    std::vector<resource> entries;

    const resource* find(std::uint32_t type, const resource_id& name, std::uint32_t language) const noexcept;
    // The entries of one type, in table order.
    std::vector<const resource*> of_type(std::uint32_t type) const;
    void remove_type(std::uint32_t type);
    // Adds or replaces the resource of the same type, name and language.
    void put(resource r);
    // Sorts into directory order; refuses two entries with the same type,
    // name and language.
    void normalize();
};

// The most resource bytes read or written: far more than any stub carries,
// little enough that a hostile header cannot make the reader hold gigabytes.
inline constexpr std::uint32_t max_resource_section = 64u << 20;

// Reads the resource tree of `img` from `input`. An image without a
// resource directory gives an empty table. Throws format_error when the tree
// is malformed: offsets outside the section, a directory reached twice, a
// data entry at the wrong level, data outside the resource section, more
// data than the section holds.
resource_table read_resources(const image& img, seekable_input& input);

// The image `bytes` with its resource section rebuilt from `table`, its
// section header, SizeOfImage, SizeOfInitializedData, the resource data
// directory and the checksum updated, and everything else unchanged (a COFF
// symbol table behind the last section moves with it). Refuses with
// format_error what it cannot rewrite safely: a signed image, no resource
// section, a resource section that is not the image's last (in the table, in
// memory and in the file) or that holds anything else a data directory
// points at, other bytes after it.
std::string rewrite_resources(std::string_view bytes, const resource_table& table);

}  // namespace archive::pe
