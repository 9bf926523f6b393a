// Conversions and the log's narrow input on a system whose ANSI code page is
// the double-byte 932. Run by run-with-locale.sh in a prefix of its own.
#include <gtest/gtest.h>

#include "bootstrap/process_state.hpp"
#include "bootstrap/win32_extract.hpp"
#include "corvid/log/file.hpp"
#include "corvid/log/log.hpp"
#include "corvid/message_box.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"
#include "packing/installer_builder.hpp"
#include "tests/support/scratch_dir.hpp"

using namespace corvid::unicode;

namespace {

class Ansi932 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::GetACP(), 932u)
            << "the Wine process did not get the Japanese locale; the glibc locale ja_JP.UTF-8 must "
               "be generated (localedef -i ja_JP -f UTF-8 ja_JP.UTF-8)";
    }
};

}  // namespace

TEST_F(Ansi932, LeadByteWithoutTrailByteRaises) {
    for (const char* text : {"\x82", "abc\x82", "\x93\xFA\x96"}) {
        try {
            to_wide(text, CP_ACP);
            ADD_FAILURE() << "nothing raised";
        } catch (const unmappable_character& e) {
            EXPECT_STREQ(e.what(), "unicode.unmappable_character[]");
        }
    }
}

TEST_F(Ansi932, DoubleByteTextConvertsBothWays) {
    EXPECT_EQ(to_wide("\x93\xFA\x96\x7B", CP_ACP), L"\u65E5\u672C");
    // Two bytes per character: the output buffer is sized by the code page's
    // maximum character size, not by the number of characters.
    EXPECT_EQ(to_narrow(L"\u65E5\u672C\u8A9E", CP_ACP, true), "\x93\xFA\x96\x7B\x8C\xEA");
    EXPECT_EQ(to_narrow(std::wstring(L"\u65E5\0\u672C", 3), CP_ACP, true),
              std::string("\x93\xFA\0\x96\x7B", 5));
}

TEST_F(Ansi932, CharacterOutside932RaisesOnlyInStrictMode) {
    const std::wstring thai = L"x\u0E01";
    EXPECT_THROW(to_narrow(thai, CP_ACP, true), unmappable_character);
    EXPECT_EQ(to_narrow(thai, CP_ACP, false), "x?");
}

TEST_F(Ansi932, LogTakesNarrowTextAsAnsiAndFallsBackToUtf8) {
    test_support::scratch_dir scratch("log932");
    const std::string base = scratch.path() + "ja";
    corvid::log::add_listener(std::make_unique<corvid::log::file>(base));
    corvid::log::write(std::string("\x93\xFA\x96\x7B"));       // valid Shift-JIS
    corvid::log::write(std::string("ok \xE2\x9C\x93 \x82"));   // incomplete double-byte character
    corvid::log::shutdown();

    const std::string content = test_support::read_file(base + ".log.txt");
    ASSERT_EQ(content.substr(0, 3), "\xEF\xBB\xBF");
    const std::size_t first_end = content.find("\r\n");
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_EQ(content.substr(3 + 23, first_end - 3 - 23), "\xE6\x97\xA5\xE6\x9C\xAC");
    const std::size_t second_start = first_end + 2;
    const std::size_t second_end = content.find("\r\n", second_start);
    ASSERT_NE(second_end, std::string::npos);
    // Rejected as Shift-JIS, decoded as UTF-8: the check mark survives and
    // the stray byte becomes a replacement character.
    EXPECT_EQ(content.substr(second_start + 23, second_end - second_start - 23),
              "ok \xE2\x9C\x93 \xEF\xBF\xBD");
    EXPECT_EQ(second_end + 2, content.size());
}

// File names of the archive in code page 932: a trail byte 0x5C (in
// U+8868 and U+30BD) is part of its character, not a backslash, so such names
// extract under their own name, by path and inside the run's held working
// folder alike; a lead byte without its trail byte names no character and is
// refused, nothing written.
TEST_F(Ansi932, ArchiveFileNamesAreReadAsTheirCharacters) {
    test_support::scratch_dir scratch("names932");
    const struct {
        const char* name;
        const wchar_t* written;  // null: refused
    } cases[] = {{"\x95\x5C.exe", L"\u8868.exe"}, {"\x83\x5C\x83\x74\x83\x67.exe", L"\u30BD\u30D5\u30C8.exe"},
                 {"a\x81", nullptr}};
    corvid::set_silent_mode(true);
    for (const bool held : {false, true})
    for (const auto& c : cases) {
        const std::wstring name = L"w" + std::to_wstring(held * 10 + (&c - cases));
        corvid::working_folder folder;
        std::wstring work = to_wide(scratch.path(), CP_ACP) + name + L"\\";
        if (held) {
            ASSERT_TRUE(folder.create(to_wide(scratch.path(), CP_ACP), name));
            work = folder.path() + L"\\";
        } else {
            ASSERT_TRUE(::CreateDirectoryW(work.c_str(), nullptr));
        }
        archive::working_directory = to_utf8(work);
        archive::process_entries().clear();
        const std::string installer = scratch.path() + "setup.exe";
        ASSERT_TRUE(test_support::write_file(
            installer, archive::build_installer("MZ stub", "stub.exe", {archive::installer_entry::make_file("k", c.name, "data")})));
        const archive::extraction_outcome outcome =
            archive::extract_archive(installer, nullptr, held ? folder.handle() : INVALID_HANDLE_VALUE);
        const std::vector<std::wstring> names = test_support::names_in(work);
        if (c.written) {
            EXPECT_EQ(outcome, archive::extraction_outcome::complete);
            EXPECT_EQ(names, std::vector<std::wstring>{c.written});
            EXPECT_EQ(*archive::process_entries().find("k"), to_utf8(c.written));
        } else {
            EXPECT_EQ(outcome, archive::extraction_outcome::extract_failed);
            EXPECT_TRUE(names.empty());
        }
    }
    corvid::set_silent_mode(false);
}
