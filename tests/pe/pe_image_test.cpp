// PE headers read from untrusted files: what a well-formed image gives, and
// the reason every malformed header is refused with.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "archive/chunk.hpp"
#include "packing/installer_builder.hpp"
#include "pe/pe_image.hpp"

#if defined(_WIN32)
#include <windows.h>
#include <imagehlp.h>
#endif

namespace {

using archive::pe::read16;
using archive::pe::read32;
using archive::pe::write16;
using archive::pe::write32;

// A minimal image: headers and one section of 0x200 bytes at 0x400.
std::string minimal_image(bool plus) {
    const std::uint16_t optional_size = plus ? 0xf0 : 0xe0;
    std::string bytes(0x600, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    write32(bytes, 0x3c, 0x80);
    bytes.replace(0x80, 4, std::string("PE\0\0", 4));
    write16(bytes, 0x84, plus ? 0x8664 : 0x14c);
    write16(bytes, 0x86, 1);
    write16(bytes, 0x94, optional_size);
    const std::size_t o = 0x98;
    write16(bytes, o, plus ? 0x20b : 0x10b);
    write32(bytes, o + 32, 0x1000);
    write32(bytes, o + 36, 0x200);
    write32(bytes, o + 56, 0x2000);
    write32(bytes, o + 60, 0x400);
    write32(bytes, o + (plus ? 108 : 92), 16);
    write32(bytes, o + (plus ? 112 : 96) + 8 * 4, 0x600);  // security directory: offset, size 0
    const std::size_t s = o + optional_size;
    bytes.replace(s, 5, ".text");
    write32(bytes, s + 8, 0x10);
    write32(bytes, s + 12, 0x1000);
    write32(bytes, s + 16, 0x200);
    write32(bytes, s + 20, 0x400);
    return bytes;
}

archive::pe::image read(const std::string& bytes) {
    archive::memory_input input(bytes);
    return archive::pe::read_image(input);
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(PeImage, ReadsBothHeaderKinds) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        const archive::pe::image image = read(minimal_image(plus));
        EXPECT_EQ(image.pe32_plus, plus);
        EXPECT_EQ(image.directories.size(), 16u);
        EXPECT_EQ(image.directory(archive::pe::security_directory).address, 0x600u);
        EXPECT_EQ(image.directory(17).address, 0u);
        EXPECT_EQ(image.checksum_offset, 0x98u + 64);
        EXPECT_EQ(image.directories_offset, 0x98u + (plus ? 112 : 96));
        ASSERT_EQ(image.sections.size(), 1u);
        EXPECT_EQ(image.sections[0].name, ".text");
        EXPECT_EQ(image.sections[0].raw_offset, 0x400u);
        EXPECT_EQ(image.section_at_offset(0x5ff), &image.sections[0]);
        EXPECT_EQ(image.section_at_offset(0x600), nullptr);
        EXPECT_NE(image.find_section(".text"), nullptr);
        EXPECT_EQ(image.find_section(".rsrc"), nullptr);
    }
}

TEST(PeImage, RefusesMalformedHeaders) {
    const struct {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* reason;
    } cases[] = {
        {"too short", [](std::string& b) { b.resize(40); }, "DOS header"},
        {"no MZ", [](std::string& b) { b[1] = 'X'; }, "no MZ header"},
        {"PE offset past the end", [](std::string& b) { write32(b, 0x3c, 0xfffffff0u); }, "PE header"},
        {"no PE signature", [](std::string& b) { b[0x81] = 'X'; }, "no PE signature"},
        {"no sections", [](std::string& b) { write16(b, 0x86, 0); }, "0 sections"},
        {"too many sections", [](std::string& b) { write16(b, 0x86, 97); }, "97 sections"},
        {"unknown magic", [](std::string& b) { write16(b, 0x98, 0x107); }, "magic"},
        {"optional header too short", [](std::string& b) { write16(b, 0x94, 60); }, "too short"},
        {"17 directories", [](std::string& b) { write32(b, 0x98 + 92, 17); }, "data directory"},
        {"alignment not a power of two", [](std::string& b) { write32(b, 0x98 + 36, 0x300); }, "alignments"},
        {"section table outside the headers", [](std::string& b) { write32(b, 0x98 + 60, 0x100); },
         "section table"},
        {"section data past the end", [](std::string& b) { write32(b, 0x98 + 0xe0 + 16, 0x400); },
         "beyond the end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = minimal_image(false);
        c.damage(bytes);
        try {
            read(bytes);
            ADD_FAILURE() << "accepted";
        } catch (const archive::pe::format_error& e) {
            EXPECT_NE(std::string(e.message()).find(c.reason), std::string::npos) << e.message();
        }
    }
}

TEST(PeImage, ChecksumLeavesItsOwnFieldOut) {
    // The value the linker tools write into the packer's test stub, worked
    // out independently of this code.
    const std::string tiny = file_bytes(PE_TEST_TINY_EXE);
    ASSERT_EQ(tiny.size(), 1024u);
    const std::uint32_t field = read(tiny).checksum_offset;
    EXPECT_EQ(archive::pe::checksum(tiny, field), 0x5200u);
    std::string changed = tiny;
    write32(changed, field, 0x12345678);
    EXPECT_EQ(archive::pe::checksum(changed, field), 0x5200u);
    changed.push_back('\x01');  // odd length: the last byte counts as a word
    EXPECT_EQ(archive::pe::checksum(changed, field), 0x5200u + 1 + 1);
}

// Where the archive of a signed installer ends: exactly where its certificate
// table begins, or up to 7 zero bytes before; nothing in or behind the table
// counts, and a table that lies leaves no archive at all.
TEST(ArchiveBound, TheArchiveEndsWhereTheCertificateTableBegins) {
    std::string image = minimal_image(false);
    const std::uint32_t directory = 0x98 + 96 + 8 * archive::pe::security_directory;
    write32(image, directory, 0);
    const std::string genuine = archive::build_installer(image, "stub.exe", {});
    const std::string planted =
        archive::build_installer(image, "other.exe", {archive::installer_entry::make_value("k", "v")});
    const std::string table(64, 'c');
    const std::uint64_t end = genuine.size(), none = 0;
    using kind = archive::pe::archive_bound::type;
    auto signed_with = [&](const std::string& padding, const std::string& contents, const std::string& behind,
                           std::uint64_t address = 0, std::uint32_t size = 0) {
        std::string bytes = genuine + padding + contents + behind;
        write32(bytes, directory, static_cast<std::uint32_t>(address ? address : end + padding.size()));
        write32(bytes, directory + 4, size ? size : static_cast<std::uint32_t>(contents.size()));
        return bytes;
    };
    // The table's entry stays in place when the count of directories says
    // there is none.
    std::string four_directories = signed_with("", table, "");
    write32(four_directories, 0x98 + 92, 4);
    const struct {
        const char* what;
        std::string bytes;
        std::uint64_t end;
        kind bound;
    } cases[] = {
        {"no table: the end of the file", genuine + planted, end + planted.size(), kind::file_end},
        {"four data directories", four_directories, end, kind::file_end},
        {"a table right behind", signed_with("", table, ""), end, kind::certificate_table},
        {"7 bytes of padding", signed_with(std::string(7, '\0'), table, ""), end, kind::certificate_table},
        {"an archive in the table", signed_with("", table + planted, ""), end, kind::certificate_table},
        {"an archive behind the table", signed_with("", table, planted), end, kind::certificate_table},
        {"8 bytes of padding", signed_with(std::string(8, '\0'), table, ""), none, kind::certificate_table},
        {"padding that is not zero", signed_with(std::string("\0x\0", 3), table, ""), none, kind::certificate_table},
        {"a table beyond the end of the file", signed_with("", table, "", end, 65), none, kind::unusable},
        {"a table whose end wraps at 4 GiB", signed_with("", table, "", end, std::uint32_t(0) - std::uint32_t(end) + 8),
         none, kind::unusable},
        {"a table over the section's data", signed_with("", table, "", 0x500), none, kind::unusable},
        {"a size without an address", signed_with("", table, "").replace(directory, 4, 4, '\0'), none, kind::unusable},
        {"an address without a size", signed_with("", table, "").replace(directory + 4, 4, 4, '\0'), none,
         kind::unusable},
    };
    for (const auto& c : cases) {
        archive::memory_input input(c.bytes);
        archive::chunk_reader reader(input);
        EXPECT_EQ(reader.find_archive_end() ? reader.position() : none, c.end) << c.what;
        EXPECT_EQ(archive::pe::find_archive_bound(input).kind, c.bound) << c.what;
    }
}

// What a certificate table may hold beside its signatures: nothing but up to
// 7 zero bytes after each and the zero bytes up to the next 8-byte boundary.
TEST(ArchiveBound, BytesHiddenInOrBehindTheCertificateTableAreFound) {
    // A WIN_CERTIFICATE: length, revision, type, a DER SEQUENCE, then `extra`.
    auto entry = [](std::size_t content, std::size_t extra, char fill = '\0') {
        std::string bytes(8, '\0');
        write32(bytes, 0, static_cast<std::uint32_t>(12 + content + extra));
        bytes += std::string("\x30\x82", 2) + char(content >> 8) + char(content & 0xff) + std::string(content, 's');
        bytes += std::string(extra, fill);
        return bytes + std::string((8 - bytes.size() % 8) % 8, '\0');
    };
    std::string overlong = entry(300, 0);
    write32(overlong, 0, static_cast<std::uint32_t>(overlong.size() + 8));
    const struct {
        const char* what;
        std::string table, behind;
        bool clean;
    } cases[] = {
        {"two signatures", entry(300, 0) + entry(101, 3), "", true},
        {"7 zero bytes after one", entry(301, 7), "", true},
        {"8 zero bytes after one", entry(300, 8), "", false},
        {"an archive after one", entry(300, 60, 'a'), "", false},
        {"5 bytes after one that are not zero", entry(300, 5, 'a'), "", false},
        {"a length past the table", overlong, "", false},
        {"a partial entry", entry(300, 0) + std::string(4, '\0'), "", false},
        {"bytes behind the table", entry(300, 0), "x", false},
    };
    for (const auto& c : cases) {
        const std::string bytes = std::string(64, '\0') + c.table + c.behind;
        archive::memory_input input(bytes);
        archive::pe::archive_bound bound;
        bound.kind = archive::pe::archive_bound::type::certificate_table;
        bound.table_offset = 64;
        bound.table_size = c.table.size();
        EXPECT_EQ(archive::pe::certificate_table_problem(input, bound).empty(), c.clean) << c.what;
    }
}

#if defined(_WIN32)
TEST(PeImage, ChecksumAgreesWithTheSystemOnARealProgram) {
    wchar_t path[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    std::ifstream in(path, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    const archive::pe::image image = read(bytes);
    EXPECT_FALSE(image.sections.empty());
    for (int round = 0; round < 2; ++round) {
        DWORD stored = 0, computed = 0;
        ASSERT_NE(::CheckSumMappedFile(bytes.data(), static_cast<DWORD>(bytes.size()), &stored, &computed), nullptr);
        EXPECT_EQ(archive::pe::checksum(bytes, image.checksum_offset), computed);
        bytes[bytes.size() / 2] ^= 0x5a;  // and again on other bytes
    }
}
#endif

// What the bootstrapper starts as a process of its own: an executable image
// for the GUI or console subsystem, PE32 or PE32+, and nothing else.
TEST(PeImage, OnlyExecutablesOfTheWindowsSubsystemsArePrograms) {
    const std::size_t characteristics = 0x84 + 18, subsystem = 0x98 + 68;
    const struct {
        bool plus;
        std::function<void(std::string&)> change;
        bool program;
    } cases[] = {
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 2); }, true},
        {true, [](std::string& b) { write16(b, characteristics, 0x0022); write16(b, subsystem, 3); }, true},
        {false, [](std::string& b) { write16(b, characteristics, 0x2102); write16(b, subsystem, 2); }, false},  // DLL
        {false, [](std::string& b) { write16(b, characteristics, 0x0100); write16(b, subsystem, 2); }, false},  // not executable
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 1); }, false},  // native
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 10); }, false}, // EFI
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 2); b[0x98] = 7; }, false},
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 2); b[0x80] = 'N'; }, false},
        {false, [](std::string& b) { write16(b, characteristics, 0x0102); write16(b, subsystem, 2); b.resize(subsystem + 1); }, false},
        {false, [](std::string& b) { write16(b, subsystem, 2); write32(b, 0x3c, 0xfff0); }, false},
        {false, [](std::string& b) { b = "@echo off\r\nstart setup.msi\r\n"; }, false},
    };
    for (const auto& c : cases) {
        std::string bytes = minimal_image(c.plus);
        c.change(bytes);
        archive::memory_input input(bytes);
        EXPECT_EQ(archive::pe::is_program(input), c.program) << &c - cases;
    }
}
