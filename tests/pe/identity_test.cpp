// The installer's identity on the minimal stub with a resource section and,
// in a Windows build, on the build's own stub: what a rewrite keeps and
// changes, what Windows reads back, and every image, option and icon file it
// refuses with its reason.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "pe/installer_identity.hpp"

#if defined(_WIN32)
#include <filesystem>

#include "corvid/handle.hpp"
#endif

namespace {

using archive::pe::read32;
using archive::pe::resource_id;
using archive::pe::write16;
using archive::pe::write32;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string stub = file_bytes(IDENTITY_TEST_STUB);  // tests/chunkpack/tiny-resources.exe

archive::pe::image image_of(const std::string& bytes) {
    archive::memory_input input(bytes);
    return archive::pe::read_image(input);
}

archive::pe::resource_table resources_of(const std::string& bytes) {
    archive::memory_input input(bytes);
    return archive::pe::read_resources(image_of(bytes), input);
}

// The stubs a rewrite meets: the minimal one, the same with a COFF symbol
// table behind its last section (strip leaves the string table of long
// section names there) and, in a Windows build, the build's own stub.
std::vector<std::pair<const char*, std::string>> stubs() {
    std::string with_symbols = stub + std::string("\4\0\0\0", 4);  // an empty string table
    write32(with_symbols, 0x40 + 4 + 8, static_cast<std::uint32_t>(stub.size()));
    std::vector<std::pair<const char*, std::string>> list = {{"minimal", stub}, {"with symbols", with_symbols}};
#if defined(IDENTITY_REAL_STUB)
    list.emplace_back("bootstrapper.exe", file_bytes(IDENTITY_REAL_STUB));
#endif
    return list;
}

// A rewrite changes the resource section and the fields that describe it
// only: what followed the section follows it still, the symbol table's
// pointer with it, and SizeOfInitializedData counts the section's new size.
void expect_rewritten_in_place(const std::string& before, const std::string& after) {
    const archive::pe::image old_image = image_of(before), new_image = image_of(after);
    auto end = [](const archive::pe::image& i) { return i.sections.back().raw_offset + i.sections.back().raw_size; };
    EXPECT_EQ(after.substr(end(new_image)), before.substr(end(old_image)));
    const std::size_t symbols = old_image.pe_offset + 12;
    EXPECT_EQ(read32(after, symbols), read32(before, symbols) == 0 ? 0 : end(new_image));
    auto uncounted = [](const archive::pe::image& i, const std::string& bytes) {
        std::uint32_t field = read32(bytes, i.optional_header_offset + 8);
        for (const archive::pe::section& s : i.sections) field -= (s.characteristics & 0x40) ? s.raw_size : 0;
        return field;
    };
    EXPECT_EQ(uncounted(new_image, after), uncounted(old_image, before)) << "SizeOfInitializedData";
}

#if defined(_WIN32)
// Windows' own lookup (named entries by their count, numbered ones behind
// them) finds every resource of the table with its bytes.
void expect_windows_finds(const std::string& image, const archive::pe::resource_table& table) {
    struct temporary_file {
        std::filesystem::path path = std::filesystem::temp_directory_path() / "identity_test.exe";
        ~temporary_file() { std::filesystem::remove(path); }
    } file;
    std::ofstream(file.path, std::ios::binary) << image;
    corvid::unique_module module(
        ::LoadLibraryExW(file.path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << ::GetLastError();
    auto id = [](const resource_id& i) {
        return i.is_text ? reinterpret_cast<const wchar_t*>(i.text.c_str()) : MAKEINTRESOURCEW(i.number);
    };
    for (const archive::pe::resource& r : table.entries) {
        HRSRC found = ::FindResourceExW(module.get(), id(r.type), id(r.name), static_cast<WORD>(r.language));
        ASSERT_NE(found, nullptr) << archive::to_utf8(r.type.text) << r.type.number << "/"
                                  << archive::to_utf8(r.name.text) << r.name.number;
        const void* data = ::LockResource(::LoadResource(module.get(), found));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(data), ::SizeofResource(module.get(), found)), r.data);
    }
}
#endif

// An icon file of 32-bit bitmaps of the given sizes (a 256 as 0 in the
// directory, as icon files write it).
std::string icon_file(const std::vector<int>& sizes) {
    std::string file(6 + 16 * sizes.size(), '\0');
    write16(file, 2, 1);
    write16(file, 4, static_cast<std::uint16_t>(sizes.size()));
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const int n = sizes[i];
        std::string image(40 + 4 * n * n + ((n + 31) / 32 * 4) * n, '\x40');
        write32(image, 0, 40);
        write32(image, 4, n);
        write32(image, 8, 2 * n);
        write16(image, 12, 1);
        write16(image, 14, 32);
        file[6 + 16 * i] = file[7 + 16 * i] = static_cast<char>(n & 0xff);
        write32(file, 6 + 16 * i + 8, static_cast<std::uint32_t>(image.size()));
        write32(file, 6 + 16 * i + 12, static_cast<std::uint32_t>(file.size()));
        file += image;
    }
    return file;
}

}  // namespace

TEST(Identity, BrandingSetsEverythingAndKeepsTheRestOfTheImage) {
    archive::identity_options options;
    options.product_name = "Tarnwick Łódź";
    options.file_version = "5.2.1";
    options.icon_file = icon_file({16, 32, 256});
    const std::string branded = archive::apply_identity(stub, options);

    // Every byte before the section but the fields that describe it.
    auto masked = [](std::string b) {
        for (std::size_t at : {0x58 + 8, 0x58 + 56, 0x58 + 64, 0xb8 + 16, 0xb8 + 20, 0x138 + 48, 0x138 + 56})
            write32(b, at, 0);
        return b.substr(0, 0x400);
    };
    EXPECT_EQ(masked(branded), masked(stub));
    const archive::pe::image after = image_of(branded);
    const archive::pe::section& rsrc = after.sections.back();
    EXPECT_EQ(after.checksum, archive::pe::checksum(branded, after.checksum_offset));
    EXPECT_EQ(after.size_of_image, rsrc.virtual_address + ((rsrc.virtual_size + 0xfff) & ~0xfffu));
    EXPECT_EQ(after.directory(archive::pe::resource_directory).size, rsrc.virtual_size);
    EXPECT_EQ(branded.size(), rsrc.raw_offset + rsrc.raw_size);

    const archive::installer_identity identity = archive::read_identity(resources_of(branded));
    EXPECT_EQ(identity.vendor_name, "Brellory");  // the stub's own
    EXPECT_EQ(identity.product_name, "Tarnwick Łódź");
    EXPECT_EQ(identity.file_version, (std::array<std::uint16_t, 4>{5, 2, 1, 0}));
    EXPECT_EQ(identity.product_version, identity.file_version);
    EXPECT_EQ(identity.translation, 1200u << 16);
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"CompanyName", "Brellory"},        {"FileDescription", "Tarnwick Łódź Setup"},
        {"FileVersion", "5.2.1.0"},         {"LegalCopyright", "Copyright © Brellory"},
        {"ProductName", "Tarnwick Łódź"}, {"ProductVersion", "5.2.1.0"}};
    EXPECT_EQ(identity.version_texts, texts);
    EXPECT_EQ(identity.icon_images,
              (std::vector<std::array<std::uint32_t, 3>>{{16, 16, 32}, {32, 32, 32}, {0, 0, 32}}));
    EXPECT_EQ(archive::apply_identity(stub, options), branded) << "not deterministic";
    // Branding again replaces; nothing of the first round is left over.
    options.icon_file = icon_file({48});
    const std::string again = archive::apply_identity(branded, options);
    EXPECT_EQ(resources_of(again).of_type(archive::pe::rt_icon).size(), 1u);
    EXPECT_EQ(resources_of(again).of_type(archive::pe::rt_version).size(), 1u);
}

TEST(Identity, AppliesEveryLegalOption) {
    using version = std::array<std::uint16_t, 4>;
    const struct {
        const char* what;
        std::function<void(archive::identity_options&)> set;
        version file, product;
        std::string product_name;
    } cases[] = {
        {"a product version alone", [](auto& o) { o.product_version = "6.3"; }, {6, 3, 0, 0}, {6, 3, 0, 0}, "Tarnwick"},
        {"versions that differ in every part", [](auto& o) { o.file_version = "5.2.0.7", o.product_version = "6.3.1.9"; },
         {5, 2, 0, 7}, {6, 3, 1, 9}, "Tarnwick"},
        {"a name of 259 characters", [](auto& o) { o.product_name = std::string(259, 'x'), o.file_version = "1"; },
         {1, 0, 0, 0}, {1, 0, 0, 0}, std::string(259, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        archive::identity_options options;
        c.set(options);
        const archive::installer_identity identity =
            archive::read_identity(resources_of(archive::apply_identity(stub, options)));
        EXPECT_EQ(identity.file_version, c.file);
        EXPECT_EQ(identity.product_version, c.product);
        EXPECT_EQ(identity.product_name, c.product_name);
    }
}

// Named resources beside numbered ones, small ones kept apart by their own
// 8-byte alignment, an icon group named as resource scripts often name it,
// then the demo's icon over it: on every stub, read back by the host reader
// and by Windows.
TEST(Identity, RewritesNamedAndNumberedResourcesOfEveryStub) {
    auto name = [](const char16_t* text) { return resource_id{true, 0, text}; };
    const std::string small[] = {"\xa5\x5a\x01\xc3", "\xa5\x5a\x02\xc3", "\xa5\x5a\x03\xc3"};
    for (const auto& [what, before] : stubs()) {
        SCOPED_TRACE(what);
        archive::pe::resource_table table = resources_of(before);
        for (archive::pe::resource& r : table.entries)
            if (r.type == resource_id::of(archive::pe::rt_group_icon)) r.name = name(u"MAINICON");
        table.put({name(u"TARNWICK"), name(u"LICENSE"), 0x409, 1252, std::string(5000, 'L')});
        table.put({resource_id::of(10), name(u"NOTES"), 0, 0, small[0]});
        table.put({resource_id::of(10), resource_id::of(7), 0, 0, small[1]});
        table.put({resource_id::of(10), resource_id::of(8), 0, 0, small[2]});
        const std::string rewritten = archive::pe::rewrite_resources(before, table);
        table.normalize();
        const archive::pe::resource_table after = resources_of(rewritten);
        ASSERT_EQ(after.entries.size(), table.entries.size());
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            const archive::pe::resource &got = after.entries[i], &put = table.entries[i];
            EXPECT_TRUE(got.type == put.type && got.name == put.name && got.language == put.language &&
                        got.code_page == put.code_page && got.data == put.data)
                << "resource " << i;
        }
        const std::size_t section = image_of(rewritten).sections.back().raw_offset;
        for (const std::string& data : small) EXPECT_EQ((rewritten.find(data, section) - section) % 8, 0u);
        expect_rewritten_in_place(before, rewritten);

        archive::identity_options options;
        options.icon_file = file_bytes(IDENTITY_TEST_ICON);
        options.file_version = "5.2";
        const std::string branded = archive::apply_identity(rewritten, options);
        expect_rewritten_in_place(rewritten, branded);
#if defined(_WIN32)
        expect_windows_finds(rewritten, after);
        expect_windows_finds(branded, resources_of(branded));
#endif
    }
}

TEST(Identity, OtherStringsOfTheBlockAndOtherResourcesStay) {
    archive::pe::resource_table table = resources_of(stub);
    table.entries[0].data.replace(0, 2, std::string("\x04\0k\0e\0e\0p\0", 10));  // string 2000
    table.put({archive::pe::resource_id::of(24), archive::pe::resource_id::of(1), 0x409, 0, "<assembly/>"});
    archive::identity_options options;
    options.vendor_name = "Quillmoor";
    const archive::pe::resource_table after =
        resources_of(archive::apply_identity(archive::pe::rewrite_resources(stub, table), options));
    EXPECT_EQ(archive::find_string(after, 2000), u"keep");
    EXPECT_EQ(archive::find_string(after, 2001), u"Quillmoor");
    EXPECT_EQ(archive::find_string(after, 2002), u"Tarnwick");
    ASSERT_EQ(after.entries.size(), 2u);
    EXPECT_EQ(after.entries[0].language, 0x409u) << "the string table changed its language";
    EXPECT_EQ(after.entries[1].data, "<assembly/>");
}

TEST(Identity, RefusesImagesItCannotRewriteSafely) {
    const std::size_t table = 0x40 + 24 + 0xe0, directories = 0x40 + 24 + 96;
    const struct {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* reason;
    } cases[] = {
        {"no resource section", [](std::string& b) { write32(b, directories + 16, 0), write32(b, directories + 20, 0); },
         "no resource section"},
        {"signed", [](std::string& b) { write32(b, directories + 32, 0x600), write32(b, directories + 36, 8); },
         "signed"},
        {"a section behind the resources",
         [&](std::string& b) {
             write16(b, 0x46, 3);
             b.replace(table + 80, 8, ".extra\0\0", 8);
             write32(b, table + 80 + 8, 0x10), write32(b, table + 80 + 12, 0x3000);
             write32(b, table + 80 + 16, 0x200), write32(b, table + 80 + 20, 0x600);
             b.append(0x200, '\0');
         },
         "not the image's last section"},
        {"bytes after the section", [](std::string& b) { b += "overlay"; }, "7 bytes follow"},
        {"another directory in the section", [](std::string& b) { write32(b, directories + 48, 0x2010); },
         "data directory 6 points into"},
        {"another directory at the section's start", [](std::string& b) { write32(b, directories + 48, 0x2000); },
         "data directory 6 points into"},
        {"resources not at the section's start", [](std::string& b) { write32(b, directories + 16, 0x2010); },
         "does not begin a section"},
        {"entry count past the section", [](std::string& b) { write16(b, 0x400 + 14, 0x4000); }, "outside"},
        {"a directory that leads back to the root", [](std::string& b) { write32(b, 0x400 + 0x18 + 20, 0x80000000); },
         "reached twice"},
        {"data in a directory's place", [](std::string& b) { write32(b, 0x400 + 20, 0x48); }, "leads to data"},
        {"data outside the section", [](std::string& b) { write32(b, 0x400 + 0x48, 0x1000); }, "outside the resource"},
        {"a string longer than its block", [](std::string& b) { write16(b, 0x400 + 0x58, 0x7000); }, "string table"},
        {"the last string 2 bytes past its block", [](std::string& b) { write16(b, 0x400 + 0x58 + 62, 1); },
         "string table"},
    };
    archive::identity_options options;
    options.product_name = "Tarnwick";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = stub;
        c.damage(bytes);
        try {
            archive::apply_identity(bytes, options);
            ADD_FAILURE() << "rewritten";
        } catch (const archive::pe::format_error& e) {
            EXPECT_NE(std::string(e.message()).find(c.reason), std::string::npos) << e.message();
        }
    }
}

TEST(Identity, RefusesOptionsAndIconFilesWithTheReason) {
    std::string outside = icon_file({16}), not_an_image = icon_file({16});
    write32(outside, 6 + 12, 0x10000);
    not_an_image[22] = 'X';
    const struct {
        const char* what;
        std::function<void(archive::identity_options&)> set;
        const char* reason;
    } cases[] = {
        {"empty product name", [](auto& o) { o.product_name = ""; }, "product name is empty"},
        {"product name with a backslash", [](auto& o) { o.product_name = "Tarn\\wick"; }, "cannot hold"},
        {"vendor name ..", [](auto& o) { o.vendor_name = ".."; }, "ends with a dot"},
        {"vendor name ending in a blank", [](auto& o) { o.vendor_name = "Brellory "; }, "or a blank"},
        {"vendor name with a control character", [](auto& o) { o.vendor_name = "a\tb"; }, "cannot hold"},
        {"260 characters", [](auto& o) { o.product_name = std::string(260, 'x'); }, "at most 259"},
        {"invalid UTF-8", [](auto& o) { o.product_name = "\xc3("; }, "not valid UTF-8"},
        {"five version numbers", [](auto& o) { o.file_version = "1.2.3.4.5"; }, "one to four numbers"},
        {"a version number too large", [](auto& o) { o.product_version = "1.65536"; }, "one to four numbers"},
        {"a version with a letter", [](auto& o) { o.file_version = "5.2b"; }, "one to four numbers"},
        {"version texts without a version", [](auto& o) { o.company_name = "Brellory"; }, "need a file or product"},
        {"a text of 64 KiB", [](auto& o) { o.file_version = "1", o.file_description = std::string(40000, 'x'); },
         "longer than 64 KiB"},
        {"no icon file", [](auto& o) { o.icon_file = "MZ"; }, "not an icon"},
        {"an icon file without images", [](auto& o) { o.icon_file = std::string("\0\0\1\0\0\0", 6); }, "0 images"},
        {"an image outside the icon file", [&](auto& o) { o.icon_file = outside; }, "outside the icon file"},
        {"an image that is no image", [&](auto& o) { o.icon_file = not_an_image; }, "neither a PNG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        archive::identity_options options;
        c.set(options);
        try {
            archive::apply_identity(stub, options);
            ADD_FAILURE() << "applied";
        } catch (const archive::identity_error& e) {
            EXPECT_NE(std::string(e.message()).find(c.reason), std::string::npos) << e.message();
        }
    }
}
