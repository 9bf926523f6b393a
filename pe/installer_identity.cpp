#include "pe/installer_identity.hpp"

#include <algorithm>

namespace archive {

using pe::read16;
using pe::read32;
using pe::resource;
using pe::resource_id;
using pe::resource_table;

namespace {

using pe::append16;
using pe::append32;

// Language-neutral text in Unicode (UTF-16): what Windows and the version
// readers expect when a file's version information has one language only.
constexpr std::uint16_t neutral_language = 0x0000;
constexpr std::uint16_t unicode_code_page = 1200;
constexpr char16_t neutral_unicode_table[] = u"000004b0";

// config::init reads a string resource into 260 characters with its
// terminating NUL.
constexpr std::size_t max_name_length = 259;

void append_text(std::string& out, std::u16string_view text) {
    for (char16_t c : text) append16(out, c);
}

std::size_t align4(std::size_t value) { return (value + 3) & ~std::size_t(3); }

// --- names ------------------------------------------------------------------

// The vendor name and the product name become folder names of the
// application-data paths, and the product name the last part of the
// installed copy's uninstall key: each must be one usable path component.
std::u16string checked_name(const char* what, const std::string& utf8) {
    const std::u16string name = to_utf16(utf8);
    if (name.empty()) throw identity_error(std::string("the ") + what + " is empty");
    if (name.size() > max_name_length)
        throw identity_error(std::string("the ") + what + " has " + std::to_string(name.size()) +
                             " characters; the bootstrapper reads at most 259");
    for (char16_t c : name)
        if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos)
            throw identity_error(std::string("the ") + what + " \"" + utf8 +
                                 "\" holds a character that a folder or registry key name cannot hold");
    if (name.back() == u'.' || name.back() == u' ')
        throw identity_error(std::string("the ") + what + " \"" + utf8 + "\" ends with a dot or a blank");
    return name;
}

// --- string tables ------------------------------------------------------------

std::vector<std::u16string> parse_string_block(std::string_view data) {
    std::vector<std::u16string> strings(16);
    std::size_t at = 0;
    for (std::u16string& s : strings) {
        if (at + 2 > data.size()) break;  // a short block holds empty strings
        const std::size_t length = read16(data, at);
        if (2 * length > data.size() - at - 2) throw pe::format_error("a string table block is malformed");
        for (std::size_t i = 0; i < length; ++i) s.push_back(static_cast<char16_t>(read16(data, at + 2 + 2 * i)));
        at += 2 + 2 * length;
    }
    return strings;
}

std::string string_block(const std::vector<std::u16string>& strings) {
    std::string out;
    for (const std::u16string& s : strings) {
        append16(out, static_cast<std::uint32_t>(s.size()));
        append_text(out, s);
    }
    return out;
}

void set_string(resource_table& table, std::uint32_t id, const std::u16string& text) {
    const resource_id block = resource_id::of(id / 16 + 1);
    std::vector<resource*> blocks;
    for (resource& r : table.entries)
        if (r.type == resource_id::of(pe::rt_string) && r.name == block) blocks.push_back(&r);
    if (blocks.empty()) {
        // LoadStringW looks for the block in the stub's string table language.
        const auto others = table.of_type(pe::rt_string);
        resource r{resource_id::of(pe::rt_string), block, others.empty() ? 0u : others.front()->language, 0,
                   string_block(std::vector<std::u16string>(16))};
        table.entries.push_back(std::move(r));
        blocks.push_back(&table.entries.back());
    }
    for (resource* r : blocks) {
        std::vector<std::u16string> strings = parse_string_block(r->data);
        strings[id % 16] = text;
        r->data = string_block(strings);
    }
}

// --- version information -------------------------------------------------------

std::array<std::uint16_t, 4> parse_version(const char* what, const std::string& text) {
    std::array<std::uint16_t, 4> parts{};
    std::size_t count = 0, at = 0;
    while (true) {
        std::size_t end = text.find('.', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        if (count == 4 || part.empty() || part.size() > 5 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoul(part) > 65535)
            throw identity_error(std::string("the ") + what + " \"" + text +
                                 "\" is not one to four numbers from 0 to 65535 separated by dots");
        parts[count++] = static_cast<std::uint16_t>(std::stoul(part));
        if (end == text.size()) break;
        at = end + 1;
    }
    return parts;
}

std::string version_text(const std::array<std::uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

// One node of the version tree: length, value length, type (1 text, 0
// binary), key, value and children, each on a 4-byte boundary.
std::string version_node(std::u16string_view key, std::uint16_t type, std::string_view value,
                         std::uint16_t value_length, const std::vector<std::string>& children) {
    std::string out(6, '\0');
    append_text(out, key);
    append16(out, 0);
    out.resize(align4(out.size()), '\0');
    out += value;
    for (const std::string& child : children) {
        out.resize(align4(out.size()), '\0');
        out += child;
    }
    if (out.size() > 0xffff) throw identity_error("the version information is longer than 64 KiB");
    std::string head;
    append16(head, static_cast<std::uint32_t>(out.size()));
    append16(head, value_length);
    append16(head, type);
    out.replace(0, 6, head);
    return out;
}

std::string version_resource(const std::array<std::uint16_t, 4>& file, const std::array<std::uint16_t, 4>& product,
                             const std::vector<std::pair<std::u16string, std::u16string>>& texts) {
    std::string fixed;
    append32(fixed, 0xfeef04bd);                  // signature
    append32(fixed, 0x00010000);                  // structure version
    append32(fixed, std::uint32_t(file[0]) << 16 | file[1]);
    append32(fixed, std::uint32_t(file[2]) << 16 | file[3]);
    append32(fixed, std::uint32_t(product[0]) << 16 | product[1]);
    append32(fixed, std::uint32_t(product[2]) << 16 | product[3]);
    append32(fixed, 0x3f);                        // flags mask
    append32(fixed, 0);                           // flags: a release build
    append32(fixed, 0x00040004);                  // VOS_NT_WINDOWS32
    append32(fixed, 1);                           // VFT_APP
    append32(fixed, 0);                           // subtype
    append32(fixed, 0);                           // date: none, for reproducible output
    append32(fixed, 0);

    std::vector<std::string> strings;
    for (const auto& [key, text] : texts) {
        std::string value;
        append_text(value, text);
        append16(value, 0);
        strings.push_back(version_node(key, 1, value, static_cast<std::uint16_t>(text.size() + 1), {}));
    }
    const std::string table = version_node(neutral_unicode_table, 1, {}, 0, strings);
    std::string translation;
    append16(translation, neutral_language);
    append16(translation, unicode_code_page);
    const std::string var = version_node(u"Translation", 0, translation, 4, {});
    return version_node(u"VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()),
                        {version_node(u"StringFileInfo", 1, {}, 0, {table}),
                         version_node(u"VarFileInfo", 1, {}, 0, {var})});
}

struct version_reader_node {
    std::u16string key;
    std::uint16_t type = 0;
    std::string_view value;
    std::string_view children;
};

version_reader_node parse_version_node(std::string_view bytes) {
    if (bytes.size() < 6) throw pe::format_error("a version information node is too short");
    version_reader_node node;
    const std::uint16_t value_length = read16(bytes, 2);
    node.type = read16(bytes, 4);
    std::size_t at = 6;
    for (;; at += 2) {
        if (at + 2 > bytes.size()) throw pe::format_error("a version information key is not terminated");
        const char16_t c = static_cast<char16_t>(read16(bytes, at));
        if (c == 0) break;
        node.key.push_back(c);
    }
    at = std::min(align4(at + 2), bytes.size());
    const std::size_t value_bytes = std::min<std::size_t>(node.type == 1 ? 2 * std::size_t(value_length) : value_length,
                                                          bytes.size() - at);
    node.value = bytes.substr(at, value_bytes);
    node.children = bytes.substr(std::min(align4(at + value_bytes), bytes.size()));
    return node;
}

std::vector<version_reader_node> version_children(std::string_view children) {
    std::vector<version_reader_node> nodes;
    for (std::size_t at = 0; at + 6 <= children.size(); at = align4(at + read16(children, at))) {
        const std::size_t length = read16(children, at);
        if (length < 6 || length > children.size() - at)
            throw pe::format_error("a version information node's length is out of bounds");
        nodes.push_back(parse_version_node(children.substr(at, length)));
    }
    return nodes;
}

std::u16string text_value(std::string_view value) {
    std::u16string text;
    for (std::size_t at = 0; at + 2 <= value.size(); at += 2) text.push_back(static_cast<char16_t>(read16(value, at)));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

void read_version(std::string_view data, installer_identity& identity) {
    if (data.size() < 6) throw pe::format_error("the version resource is too short");
    const version_reader_node root = parse_version_node(data.substr(0, std::min<std::size_t>(data.size(), read16(data, 0))));
    if (root.key != u"VS_VERSION_INFO") throw pe::format_error("the version resource is not VS_VERSION_INFO");
    if (root.value.size() < 52 || read32(root.value, 0) != 0xfeef04bd)
        throw pe::format_error("the version resource has no fixed file information");
    identity.has_version = true;
    for (int i = 0; i < 2; ++i) {
        auto& v = i == 0 ? identity.file_version : identity.product_version;
        const std::uint32_t ms = read32(root.value, 8 + 8 * i), ls = read32(root.value, 12 + 8 * i);
        v = {static_cast<std::uint16_t>(ms >> 16), static_cast<std::uint16_t>(ms), static_cast<std::uint16_t>(ls >> 16),
             static_cast<std::uint16_t>(ls)};
    }
    for (const version_reader_node& block : version_children(root.children)) {
        if (block.key == u"StringFileInfo") {
            for (const version_reader_node& table : version_children(block.children))
                for (const version_reader_node& s : version_children(table.children))
                    identity.version_texts.emplace_back(to_utf8(s.key), to_utf8(text_value(s.value)));
        } else if (block.key == u"VarFileInfo") {
            for (const version_reader_node& var : version_children(block.children))
                if (var.key == u"Translation" && var.value.size() >= 4) identity.translation = read32(var.value, 0);
        }
    }
}

// --- icons ------------------------------------------------------------------

struct icon_image {
    std::string entry;  // the first 12 bytes of the directory entry, planes and bits filled in
    std::string data;
};

// An icon file is untrusted input: its directory and every image are checked
// before anything of it goes into the stub.
std::vector<icon_image> parse_icon_file(std::string_view file) {
    if (file.size() < 6 || read16(file, 0) != 0 || read16(file, 2) != 1)
        throw identity_error("the icon file is not an icon (.ico) file");
    const std::size_t count = read16(file, 4);
    if (count == 0 || count > 256) throw identity_error("the icon file holds " + std::to_string(count) + " images");
    const std::size_t directory_end = 6 + 16 * count;
    if (directory_end > file.size()) throw identity_error("the icon file's directory is cut off");
    std::vector<icon_image> images;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 6 + 16 * i;
        const std::uint32_t size = read32(file, at + 8), offset = read32(file, at + 12);
        const std::string which = "icon image " + std::to_string(i + 1);
        if (size < 40 || offset < directory_end || offset > file.size() || size > file.size() - offset)
            throw identity_error(which + " lies outside the icon file");
        icon_image image{std::string(file.substr(at, 12)), std::string(file.substr(offset, size))};
        std::uint16_t bits = 32;
        if (image.data.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
            if (image.data.compare(12, 4, "IHDR") != 0) throw identity_error(which + " is a PNG without a header");
        } else {
            const std::uint32_t header = read32(image.data, 0);
            const std::int32_t width = static_cast<std::int32_t>(read32(image.data, 4));
            const std::int32_t height = static_cast<std::int32_t>(read32(image.data, 8));
            bits = read16(image.data, 14);
            if ((header != 40 && header != 108 && header != 124) || header > size || width <= 0 || width > 1024 ||
                height <= 0 || height > 2048 || read16(image.data, 12) != 1 ||
                std::u16string_view(u"\x01\x04\x08\x10\x18\x20").find(static_cast<char16_t>(bits)) ==
                    std::u16string_view::npos)
                throw identity_error(which + " is neither a PNG nor a device-independent bitmap");
        }
        // Windows picks an icon's image by these two fields; some icon
        // editors leave them 0.
        if (read16(image.entry, 4) == 0) image.entry[4] = 1;
        if (read16(image.entry, 6) == 0) {
            image.entry[6] = static_cast<char>(bits);
            image.entry[7] = 0;
        }
        images.push_back(std::move(image));
    }
    return images;
}

void set_icon(resource_table& table, const std::vector<icon_image>& images) {
    // The first group is the program's icon in Explorer; keep its name and
    // language.
    resource_id group_name = resource_id::of(1);
    std::uint32_t language = 0;
    if (const auto groups = table.of_type(pe::rt_group_icon); !groups.empty()) {
        group_name = groups.front()->name;
        language = groups.front()->language;
    }
    table.remove_type(pe::rt_icon);
    table.remove_type(pe::rt_group_icon);
    std::string group;
    append16(group, 0);
    append16(group, 1);
    append16(group, static_cast<std::uint32_t>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::uint32_t id = static_cast<std::uint32_t>(i + 1);
        group += images[i].entry;
        append16(group, id);
        table.put({resource_id::of(pe::rt_icon), resource_id::of(id), language, 0, images[i].data});
    }
    table.put({resource_id::of(pe::rt_group_icon), group_name, language, 0, group});
}

}  // namespace

bool identity_options::empty() const noexcept {
    return !vendor_name && !product_name && !icon_file && !file_version && !product_version &&
           !version_product_name && !company_name && !file_description && !legal_copyright && !original_filename;
}

std::u16string to_utf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead < 0xe0 ? 2 : lead >= 0xe0 && lead < 0xf0 ? 3
                                                  : lead >= 0xf0 && lead < 0xf5 ? 4 : 0;
        if (length == 0 || length > text.size() - i) throw identity_error("a text is not valid UTF-8");
        std::uint32_t c = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) throw identity_error("a text is not valid UTF-8");
            c = c << 6 | (next & 0x3f);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10ffff || (c >= 0xd800 && c < 0xe000))
            throw identity_error("a text is not valid UTF-8");
        if (c == 0) throw identity_error("a text holds a NUL character");
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        else if (c >= 0xd800 && c < 0xe000)
            c = 0xfffd;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xc0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    return out;
}

std::optional<std::u16string> find_string(const resource_table& resources, std::uint32_t id) {
    for (const resource* r : resources.of_type(pe::rt_string)) {
        if (!(r->name == resource_id::of(id / 16 + 1))) continue;
        std::u16string s = parse_string_block(r->data)[id % 16];
        if (!s.empty()) return s;
    }
    return std::nullopt;
}

std::string apply_identity(std::string_view image, const identity_options& options) {
    memory_input input(image);
    const pe::image img = pe::read_image(input);
    resource_table table = pe::read_resources(img, input);

    std::u16string vendor = find_string(table, vendor_name_string).value_or(u"");
    std::u16string product = find_string(table, product_name_string).value_or(u"");
    if (options.vendor_name) {
        vendor = checked_name("vendor name", *options.vendor_name);
        set_string(table, vendor_name_string, vendor);
    }
    if (options.product_name) {
        product = checked_name("product name", *options.product_name);
        set_string(table, product_name_string, product);
    }
    if (options.icon_file) set_icon(table, parse_icon_file(*options.icon_file));

    if (options.file_version || options.product_version) {
        const auto file = parse_version("file version", options.file_version.value_or(options.product_version.value_or("")));
        const auto prod = parse_version("product version", options.product_version.value_or(options.file_version.value_or("")));
        auto text = [](const std::optional<std::string>& given, std::u16string fallback) {
            return given ? to_utf16(*given) : fallback;
        };
        const std::u16string product_name = text(options.version_product_name, product);
        const std::u16string company = text(options.company_name, vendor);
        const std::u16string fields[] = {
            company,
            text(options.file_description, product_name.empty() ? u"" : product_name + u" Setup"),
            to_utf16(version_text(file)),
            text(options.legal_copyright, company.empty() ? u"" : u"Copyright \u00a9 " + company),
            text(options.original_filename, u""),
            product_name,
            to_utf16(version_text(prod))};
        std::vector<std::pair<std::u16string, std::u16string>> texts;
        for (std::size_t i = 0; i < version_fields.size(); ++i)
            if (!fields[i].empty()) texts.emplace_back(to_utf16(version_fields[i]), fields[i]);
        table.remove_type(pe::rt_version);
        table.put({resource_id::of(pe::rt_version), resource_id::of(1), neutral_language, 0,
                   version_resource(file, prod, texts)});
    } else if (options.version_product_name || options.company_name || options.file_description ||
               options.legal_copyright || options.original_filename) {
        throw identity_error("version texts need a file or product version");
    }
    return pe::rewrite_resources(image, table);
}

installer_identity read_identity(const resource_table& resources) {
    installer_identity identity;
    if (auto s = find_string(resources, vendor_name_string)) identity.vendor_name = to_utf8(*s);
    if (auto s = find_string(resources, product_name_string)) identity.product_name = to_utf8(*s);
    if (const auto versions = resources.of_type(pe::rt_version); !versions.empty())
        read_version(versions.front()->data, identity);
    if (const auto groups = resources.of_type(pe::rt_group_icon); !groups.empty()) {
        const std::string& group = groups.front()->data;
        if (group.size() < 6) throw pe::format_error("the icon group is too short");
        const std::size_t count = read16(group, 4);
        if (6 + 14 * count > group.size()) throw pe::format_error("the icon group is cut off");
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = 6 + 14 * i;
            identity.icon_images.push_back({static_cast<unsigned char>(group[at]),
                                            static_cast<unsigned char>(group[at + 1]), read16(group, at + 6)});
        }
    }
    return identity;
}

installer_identity read_identity(const pe::image& img, seekable_input& input) {
    return read_identity(pe::read_resources(img, input));
}

}  // namespace archive
