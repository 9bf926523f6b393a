// Conversions against Wine's own code-page data, in a prefix whose ANSI code
// page is 1252 (and one case in a prefix whose ANSI code page is UTF-8).
#include "corvid/unicode/convert.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "corvid/win32.hpp"

using namespace corvid::unicode;

namespace {

constexpr std::uint32_t no_such_codepage = 99999;

class Convert : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::GetACP(), 1252u) << "these cases expect a Western-European ANSI code page";
    }
};

template <class Error, class F>
std::string raised_type_path(F&& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.type_path();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "nothing raised";
}

}  // namespace

TEST_F(Convert, EmptyInputGivesEmptyOutputWhateverTheCodePage) {
    EXPECT_EQ(to_wide(std::string(), no_such_codepage), L"");
    EXPECT_EQ(to_narrow(std::wstring(), no_such_codepage, true), "");
}

TEST_F(Convert, AnsiRoundTripAndEmbeddedZeros) {
    const std::string narrow("caf\xE9\0x\0", 7);
    const std::wstring wide = to_wide(narrow, CP_ACP);
    EXPECT_EQ(wide, std::wstring(L"caf\u00E9\0x\0", 7));
    EXPECT_EQ(to_narrow(wide, CP_ACP, true), narrow);
    EXPECT_EQ(to_narrow(wide, CP_UTF8, true), std::string("caf\xC3\xA9\0x\0", 8));
}

TEST_F(Convert, CharacterOutsideTheAnsiCodePageRaisesOnlyInStrictMode) {
    const std::wstring text = L"a\u65E5b";  // a CJK ideograph between two letters
    EXPECT_EQ(raised_type_path<unmappable_character>([&] { to_narrow(text, CP_ACP, true); }),
              "unicode.unmappable_character");
    EXPECT_EQ(to_narrow(text, CP_ACP, false), "a?b");
}

TEST_F(Convert, Utf8NeverRaisesInEitherDirection) {
    // Lone surrogates and a CJK text: replaced or encoded, never reported.
    EXPECT_EQ(to_narrow(L"\u65E5\u672C", CP_UTF8, true), "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(to_narrow(std::wstring(L"\xD800x"), CP_UTF8, true), "\xEF\xBF\xBDx");
    // A surrogate pair needs four bytes for two units: the buffer holds it.
    EXPECT_EQ(to_narrow(std::wstring(L"\xD83D\xDE00"), CP_UTF8, true), "\xF0\x9F\x98\x80");
    // Invalid UTF-8 is decoded with replacement characters.
    const std::wstring wide = to_wide("a\xFF\xC3", CP_UTF8);
    EXPECT_EQ(wide.front(), L'a');
    EXPECT_NE(wide.find(L'\xFFFD'), std::wstring::npos);
    EXPECT_EQ(to_wide("\xE6\x97\xA5", CP_UTF8), L"\u65E5");
}

TEST_F(Convert, InvalidSequenceOfAnExplicitDoubleByteCodePageRaises) {
    // 0x82 is a lead byte in 932; at the end of the text it has no trail byte.
    EXPECT_EQ(raised_type_path<unmappable_character>([] { to_wide("ab\x82", 932); }),
              "unicode.unmappable_character");
    EXPECT_EQ(to_wide("\x93\xFA\x96\x7B", 932), L"\u65E5\u672C");
    EXPECT_EQ(to_narrow(L"\u65E5\u672C", 932, true), "\x93\xFA\x96\x7B");
}

TEST_F(Convert, CodePageThatDoesNotExistRaisesInvalidCodepageBothWays) {
    EXPECT_EQ(raised_type_path<invalid_codepage>([] { to_wide("a", no_such_codepage); }),
              "unicode.invalid_codepage");
    EXPECT_EQ(raised_type_path<invalid_codepage>([] { to_narrow(L"a", no_such_codepage, false); }),
              "unicode.invalid_codepage");
}

TEST(ConvertErrors, FormATreeUnderGenericWithEmptyMessages) {
    try {
        to_wide("a", no_such_codepage);
        FAIL() << "nothing raised";
    } catch (const generic& e) {
        EXPECT_STREQ(e.what(), "unicode.invalid_codepage[]");
        generic copy(e);  // copyable through the catch-all
        EXPECT_STREQ(copy.message(), "");
    }
    EXPECT_STREQ(out_of_memory("").what(), "unicode.out_of_memory[]");
    EXPECT_STREQ(generic("").what(), "unicode[]");
    const corvid::exception& base = unmappable_character("");
    EXPECT_STREQ(base.type_path(), "unicode.unmappable_character");
}

TEST(FlagsAllowed, FalseExactlyForTheRestrictedCodePages) {
    for (std::uint32_t cp : {42u, 50221u, 50222u, 50225u, 50227u, 50229u, 52936u, 54936u, 57002u,
                             57006u, 57011u, 65000u, 65001u})
        EXPECT_FALSE(flags_allowed(cp)) << cp;
    for (std::uint32_t cp : {0u, 41u, 43u, 932u, 1252u, 50220u, 50226u, 50228u, 57001u, 57012u,
                             65002u, 0xFFFFFFFFu})
        EXPECT_TRUE(flags_allowed(cp)) << cp;
}

TEST(ResolveCodepage, FlagsAreDecidedOnTheCodePageActuallyUsed) {
    // A system set to "Use Unicode UTF-8 for worldwide language support".
    const system_codepages utf8_system{65001, 65001, 10000, 65001};
    EXPECT_EQ(resolve_codepage(0, utf8_system), 65001u);
    EXPECT_FALSE(flags_allowed(resolve_codepage(0, utf8_system)));
    EXPECT_FALSE(flags_allowed(resolve_codepage(1, utf8_system)));
    EXPECT_TRUE(flags_allowed(resolve_codepage(2, utf8_system)));
    EXPECT_FALSE(flags_allowed(resolve_codepage(3, utf8_system)));

    const system_codepages western{1252, 850, 10000, 1252};
    EXPECT_EQ(resolve_codepage(0, western), 1252u);
    EXPECT_EQ(resolve_codepage(1, western), 850u);
    EXPECT_EQ(resolve_codepage(2, western), 10000u);
    EXPECT_EQ(resolve_codepage(3, western), 1252u);
    EXPECT_TRUE(flags_allowed(resolve_codepage(0, western)));
    // Real numbers stand for themselves, whatever the system.
    EXPECT_EQ(resolve_codepage(65001, western), 65001u);
    EXPECT_EQ(resolve_codepage(932, utf8_system), 932u);
    EXPECT_EQ(resolve_codepage(4, utf8_system), 4u);
}

// Run on its own under a locale whose ANSI code page is UTF-8 (CMakeLists.txt:
// hi_IN.UTF-8, a locale without code pages of its own, where Wine converts
// every symbolic code page as 65001); CORVID_REQUIRE_ACP keeps it from
// passing by being skipped there.
TEST(ConvertUnderUtf8, SymbolicCodePagesConvertAsUtf8) {
    if (const char* required = std::getenv("CORVID_REQUIRE_ACP")) {
        ASSERT_EQ(::GetACP(), std::strtoul(required, nullptr, 10));
    }
    if (::GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8";
    for (std::uint32_t codepage : {0u, 1u, 2u, 3u}) {
        // A restricted code page takes no flags: the system substitutes,
        // and reports no replaced characters.
        std::wstring wide;
        std::string narrow;
        EXPECT_EQ(raised_type_path<generic>([&] { wide = to_wide("a\xff", codepage); }), "nothing raised") << codepage;
        EXPECT_EQ(raised_type_path<generic>([&] { narrow = to_narrow(L"a\x4e2d", codepage, true); }), "nothing raised")
            << codepage;
        EXPECT_EQ(wide, L"a\xfffd") << codepage;
        EXPECT_EQ(narrow, "a\xe4\xb8\xad") << codepage;
    }
}

TEST(ResolveCodepage, ThisSystemsCodePages) {
    const system_codepages here = current_system_codepages();
    EXPECT_EQ(here.ansi, ::GetACP());
    EXPECT_EQ(here.oem, ::GetOEMCP());
    // The strict ANSI conversion works whatever the ANSI code page: text the
    // code page holds converts back and forth, also where it is UTF-8.
    const std::wstring latin = L"Deutsch";
    EXPECT_EQ(to_wide(to_narrow(latin, 0, true), 0), latin);
}

// The run's own conversions never substitute: what UTF-8 or the ANSI code
// page cannot carry exactly raises.
TEST_F(Convert, Utf8AndAnsiToUtf8AreStrict) {
    EXPECT_EQ(to_utf8(L"\u0141\u00F3d\u017A \uFF02 \U0001F600"), "\xC5\x81\xC3\xB3" "d\xC5\xBA \xEF\xBC\x82 \xF0\x9F\x98\x80");
    EXPECT_EQ(from_utf8("\xC5\x81\xF0\x9F\x98\x80"), L"\u0141\U0001F600");
    EXPECT_EQ(ansi_to_utf8("COM\xB9 \xE9"), "COM\xC2\xB9 \xC3\xA9");
    for (const std::wstring& unpaired : {std::wstring(L"a\xD800"), std::wstring(L"\xDC00z")})
        EXPECT_EQ(raised_type_path<unmappable_character>([&] { to_utf8(unpaired); }), "unicode.unmappable_character");
    for (const char* invalid : {"\xC3", "\xED\xA0\x80", "\xC0\xAF", "a\xFF"})
        EXPECT_EQ(raised_type_path<unmappable_character>([&] { from_utf8(invalid); }), "unicode.unmappable_character")
            << invalid;
}
