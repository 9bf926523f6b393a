#include "pe/pe_resources.hpp"

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>

namespace archive::pe {

namespace {

constexpr std::uint32_t subdirectory_flag = 0x80000000u;
constexpr std::uint32_t initialized_data = 0x40;
constexpr std::size_t table_header_size = 16;
constexpr std::size_t entry_size = 8;
constexpr std::size_t data_entry_size = 16;

std::uint32_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) & ~std::uint64_t(alignment - 1));
}

// Walks the directory tree inside the bytes of the resource section.
class tree_reader {
public:
    tree_reader(std::string_view section, std::uint32_t section_rva, std::uint32_t root)
        : section_(section), section_rva_(section_rva), root_(root) {}

    resource_table read() {
        resource_table table;
        resource leaf;
        walk(0, 0, leaf, table);
        return table;
    }

private:
    void need(std::uint64_t offset, std::uint64_t count, const char* what) const {
        if (offset > section_.size() || count > section_.size() - offset)
            throw format_error(std::string("the resource ") + what + " lies outside the resource section");
    }

    resource_id id_of(std::uint32_t field) const {
        if ((field & subdirectory_flag) == 0) return resource_id::of(field);
        const std::uint64_t at = std::uint64_t(root_) + (field & ~subdirectory_flag);
        need(at, 2, "name");
        const std::size_t length = read16(section_, at);
        need(at + 2, 2 * std::uint64_t(length), "name");
        resource_id id;
        id.is_text = true;
        for (std::size_t i = 0; i < length; ++i) id.text.push_back(static_cast<char16_t>(read16(section_, at + 2 + 2 * i)));
        return id;
    }

    void walk(std::uint32_t offset, int level, resource& leaf, resource_table& table) {
        const std::uint64_t at = std::uint64_t(root_) + offset;
        if (!visited_.insert(at).second) throw format_error("a resource directory is reached twice");
        need(at, table_header_size, "directory");
        const std::size_t count = std::size_t(read16(section_, at + 12)) + read16(section_, at + 14);
        need(at + table_header_size, entry_size * count, "directory");
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t entry = at + table_header_size + entry_size * i;
            const resource_id id = id_of(read32(section_, entry));
            const std::uint32_t target = read32(section_, entry + 4);
            const bool directory = (target & subdirectory_flag) != 0;
            if (directory != (level < 2))
                throw format_error("a resource directory entry at level " + std::to_string(level + 1) +
                                   (directory ? " leads to a directory" : " leads to data"));
            if (level == 0) {
                leaf.type = id;
            } else if (level == 1) {
                leaf.name = id;
            } else {
                if (id.is_text) throw format_error("a resource language is a name");
                leaf.language = id.number;
            }
            if (directory) {
                walk(target & ~subdirectory_flag, level + 1, leaf, table);
                continue;
            }
            const std::uint64_t data_entry = std::uint64_t(root_) + target;
            need(data_entry, data_entry_size, "data entry");
            const std::uint32_t rva = read32(section_, data_entry);
            const std::uint32_t size = read32(section_, data_entry + 4);
            if (rva < section_rva_) throw format_error("resource data lies outside the resource section");
            need(rva - section_rva_, size, "data");
            data_bytes_ += size;
            if (data_bytes_ > section_.size()) throw format_error("the resources hold more data than their section");
            leaf.code_page = read32(section_, data_entry + 8);
            leaf.data.assign(section_.substr(rva - section_rva_, size));
            table.entries.push_back(leaf);
        }
    }

    std::string_view section_;
    std::uint32_t section_rva_;
    std::uint32_t root_;  // offset of the root directory in the section
    std::set<std::uint64_t> visited_;
    std::uint64_t data_bytes_ = 0;
};

// The section whose address range (in memory) holds `rva`, or null.
const section* section_at_rva(const image& img, std::uint32_t rva) {
    for (const section& s : img.sections) {
        const std::uint32_t extent = std::max(s.virtual_size, s.raw_size);
        if (rva >= s.virtual_address && rva - s.virtual_address < extent) return &s;
    }
    return nullptr;
}

// The directory tree of a normalized table: its types, each type's names,
// each name's resources (one per language), in table order.
struct name_node {
    resource_id name;
    std::vector<const resource*> languages;
};
struct type_node {
    resource_id type;
    std::vector<name_node> names;
};

std::vector<type_node> tree_of(const resource_table& table) {
    std::vector<type_node> types;
    for (const resource& r : table.entries) {
        if (types.empty() || !(types.back().type == r.type)) types.push_back({r.type, {}});
        auto& names = types.back().names;
        if (names.empty() || !(names.back().name == r.name)) names.push_back({r.name, {}});
        names.back().languages.push_back(&r);
    }
    return types;
}

// Where each part of the section begins, from the section's start, in the
// order they are laid out: every directory table (root, types, names), the
// data entries, the name texts, then each resource's data on an 8-byte
// boundary.
struct section_layout {
    std::vector<std::size_t> type_tables;
    std::vector<std::size_t> name_tables;
    std::size_t data_entries = 0;
    std::vector<std::u16string> texts;
    std::vector<std::size_t> text_offsets;
    std::vector<std::size_t> data_offsets;
    std::size_t size = 0;

    // Each text once, where it is first named.
    void add_text(const resource_id& id) {
        if (!id.is_text || std::find(texts.begin(), texts.end(), id.text) != texts.end()) return;
        texts.push_back(id.text);
        text_offsets.push_back(size);
        size += 2 + 2 * id.text.size();
    }

    std::uint32_t text_offset(const resource_id& id) const {
        for (std::size_t i = 0; i < texts.size(); ++i)
            if (texts[i] == id.text) return static_cast<std::uint32_t>(text_offsets[i]);
        throw format_error("a resource name was not laid out");
    }
};

section_layout lay_out(const std::vector<type_node>& types, const resource_table& table) {
    section_layout layout;
    std::size_t& offset = layout.size;
    offset = table_header_size + entry_size * types.size();
    for (const type_node& t : types) {
        layout.type_tables.push_back(offset);
        offset += table_header_size + entry_size * t.names.size();
    }
    for (const type_node& t : types)
        for (const name_node& n : t.names) {
            layout.name_tables.push_back(offset);
            offset += table_header_size + entry_size * n.languages.size();
        }
    layout.data_entries = offset;
    offset += data_entry_size * table.entries.size();
    for (const type_node& t : types) {
        layout.add_text(t.type);
        for (const name_node& n : t.names) layout.add_text(n.name);
    }
    for (const resource& r : table.entries) {
        offset = align_up(offset, 8);
        layout.data_offsets.push_back(offset);
        offset += r.data.size();
        if (offset > max_resource_section) throw format_error("the resources would exceed 64 MiB");
    }
    return layout;
}

// Writes the parts of the section in their order, where its layout puts
// them.
class section_writer {
public:
    explicit section_writer(const section_layout& layout) : layout_(layout) { out_.reserve(layout.size); }

    // The root table (the types), a table per type (its names), a table per
    // name (its languages).
    void directories(const std::vector<type_node>& types) {
        std::vector<std::pair<resource_id, std::uint32_t>> entries;
        for (std::size_t i = 0; i < types.size(); ++i)
            entries.emplace_back(types[i].type, subdirectory(layout_.type_tables[i]));
        directory(entries);
        std::size_t name_index = 0;
        for (const type_node& t : types) {
            entries.clear();
            for (const name_node& n : t.names)
                entries.emplace_back(n.name, subdirectory(layout_.name_tables[name_index++]));
            directory(entries);
        }
        std::size_t leaf = 0;
        for (const type_node& t : types)
            for (const name_node& n : t.names) {
                entries.clear();
                for (const resource* r : n.languages) {
                    const std::size_t data_entry = layout_.data_entries + data_entry_size * leaf++;
                    entries.emplace_back(resource_id::of(r->language), static_cast<std::uint32_t>(data_entry));
                }
                directory(entries);
            }
    }

    // One data entry per resource: its data's address and size, its code page.
    void data_entries(const resource_table& table, std::uint32_t rva) {
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            append32(out_, rva + static_cast<std::uint32_t>(layout_.data_offsets[i]));
            append32(out_, static_cast<std::uint32_t>(table.entries[i].data.size()));
            append32(out_, table.entries[i].code_page);
            append32(out_, 0);
        }
    }

    // Each name's length and UTF-16 code units.
    void texts() {
        for (const std::u16string& text : layout_.texts) {
            append16(out_, static_cast<std::uint32_t>(text.size()));
            for (char16_t c : text) append16(out_, c);
        }
    }

    void data(const resource_table& table) {
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            out_.resize(layout_.data_offsets[i], '\0');
            out_ += table.entries[i].data;
        }
    }

    std::string take() { return std::move(out_); }

private:
    // A directory entry's target when it is a table at `offset`.
    static std::uint32_t subdirectory(std::size_t offset) {
        return subdirectory_flag | static_cast<std::uint32_t>(offset);
    }

    // A table's header, its named entries counted apart from its numbered
    // ones, then the entries (named first, as the table is sorted).
    void directory(const std::vector<std::pair<resource_id, std::uint32_t>>& entries) {
        std::size_t named = 0;
        for (const auto& entry : entries) named += entry.first.is_text ? 1 : 0;
        append32(out_, 0);  // characteristics
        append32(out_, 0);  // time stamp: none, so that the same inputs give the same bytes
        append32(out_, 0);  // version
        append16(out_, static_cast<std::uint32_t>(named));
        append16(out_, static_cast<std::uint32_t>(entries.size() - named));
        for (const auto& [id, target] : entries) {
            append32(out_, id.is_text ? subdirectory_flag | layout_.text_offset(id) : id.number);
            append32(out_, target);
        }
    }

    const section_layout& layout_;
    std::string out_;
};

// The section's bytes for a normalized table placed at `rva`.
std::string serialize(const resource_table& table, std::uint32_t rva) {
    const std::vector<type_node> types = tree_of(table);
    const section_layout layout = lay_out(types, table);
    section_writer out(layout);
    out.directories(types);
    out.data_entries(table, rva);
    out.texts();
    out.data(table);
    return out.take();
}

}  // namespace

bool resource_id::operator<(const resource_id& other) const noexcept {
    if (is_text != other.is_text) return is_text;
    return is_text ? text < other.text : number < other.number;
}

const resource* resource_table::find(std::uint32_t type, const resource_id& name, std::uint32_t language) const noexcept {
    for (const resource& r : entries)
        if (r.type == resource_id::of(type) && r.name == name && r.language == language) return &r;
    return nullptr;
}

std::vector<const resource*> resource_table::of_type(std::uint32_t type) const {
    std::vector<const resource*> found;
    for (const resource& r : entries)
        if (r.type == resource_id::of(type)) found.push_back(&r);
    return found;
}

void resource_table::remove_type(std::uint32_t type) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const resource& r) { return r.type == resource_id::of(type); }),
                  entries.end());
}

void resource_table::put(resource r) {
    for (resource& existing : entries)
        if (existing.type == r.type && existing.name == r.name && existing.language == r.language) {
            existing = std::move(r);
            return;
        }
    entries.push_back(std::move(r));
}

void resource_table::normalize() {
    auto key = [](const resource& r) { return std::tie(r.type, r.name, r.language); };
    std::stable_sort(entries.begin(), entries.end(), [&](const resource& a, const resource& b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (!(key(entries[i - 1]) < key(entries[i])))
            throw format_error("two resources have the same type, name and language");
}

resource_table read_resources(const image& img, seekable_input& input) {
    const data_directory dir = img.directory(resource_directory);
    if (dir.address == 0 && dir.size == 0) return {};
    const section* s = section_at_rva(img, dir.address);
    if (!s) throw format_error("the resource directory lies in no section");
    if (s->raw_size > max_resource_section) throw format_error("the resource section is larger than 64 MiB");
    std::string bytes(s->raw_size, '\0');
    if (!bytes.empty() && !input.read_at(s->raw_offset, bytes.data(), bytes.size()))
        throw format_error("cannot read the resource section: " + input.failure_text());
    resource_table table = tree_reader(bytes, s->virtual_address, dir.address - s->virtual_address).read();
    table.normalize();
    return table;
}

std::string rewrite_resources(std::string_view bytes, const resource_table& table) {
    memory_input input(bytes);
    const image img = read_image(input);
    if (img.directory(security_directory).size != 0)
        throw format_error("the image is signed (brand the unsigned stub, then sign the installer)");
    const data_directory dir = img.directory(resource_directory);
    if (dir.address == 0 && dir.size == 0) throw format_error("the image has no resource section");
    const section* s = section_at_rva(img, dir.address);
    if (!s || dir.address != s->virtual_address)
        throw format_error("the resource directory does not begin a section");
    const std::size_t index = static_cast<std::size_t>(s - img.sections.data());
    for (const section& other : img.sections) {
        if (&other == s) continue;
        if (&other > s || other.virtual_address >= s->virtual_address ||
            (other.raw_size != 0 && other.raw_offset >= s->raw_offset))
            throw format_error("the resource section is not the image's last section");
    }
    for (unsigned i = 0; i < img.directories.size(); ++i) {
        const data_directory d = img.directories[i];
        if (i == resource_directory || i == security_directory || d.address == 0) continue;
        if (d.address >= s->virtual_address)
            throw format_error("data directory " + std::to_string(i) + " points into the resource section");
    }
    // Only a COFF symbol table (strip leaves the string table of long section
    // names) may follow the section; it moves with the section's end.
    const std::uint64_t section_end = std::uint64_t(s->raw_offset) + s->raw_size;
    const std::size_t coff = img.pe_offset + 4;
    const std::uint32_t symbols = read32(bytes, coff + 8);
    if (section_end < bytes.size() && symbols != section_end)
        throw format_error(std::to_string(bytes.size() - section_end) + " bytes follow the resource section");
    if (symbols != 0 && symbols < section_end) throw format_error("the COFF symbol table lies before the last section");

    resource_table sorted = table;
    sorted.normalize();
    const std::string data = serialize(sorted, s->virtual_address);
    const std::uint32_t raw_size = align_up(data.size(), img.file_alignment);
    if (std::uint64_t(s->virtual_address) + raw_size > 0x7fffffffu) throw format_error("the image would be too large");

    std::string out(bytes.substr(0, s->raw_offset));
    out += data;
    out.resize(std::size_t(s->raw_offset) + raw_size, '\0');
    out += bytes.substr(section_end);

    const std::size_t header = img.section_table_offset + 40 * index;
    write32(out, header + 8, static_cast<std::uint32_t>(data.size()));
    write32(out, header + 16, raw_size);
    if (symbols != 0) write32(out, coff + 8, s->raw_offset + raw_size);
    if (s->characteristics & initialized_data) {
        const std::size_t field = img.optional_header_offset + 8;
        write32(out, field, read32(out, field) - s->raw_size + raw_size);
    }
    write32(out, img.size_of_image_offset,
            s->virtual_address + align_up(std::max<std::size_t>(data.size(), 1), img.section_alignment));
    write32(out, img.directory_offset(resource_directory), s->virtual_address);
    write32(out, img.directory_offset(resource_directory) + 4, static_cast<std::uint32_t>(data.size()));
    write32(out, img.checksum_offset, checksum(out, img.checksum_offset));
    return out;
}

}  // namespace archive::pe
