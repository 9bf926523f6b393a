#include "corvid/exception.hpp"

#include <gtest/gtest.h>

namespace {

class level_one : public corvid::exception {
public:
    explicit level_one(const std::string& m) : corvid::exception(m) { extend_type_path("log"); }
};

class level_two : public level_one {
public:
    explicit level_two(const std::string& m) : level_one(m) { extend_type_path("key_error"); }
};

TEST(Exception, WhatComposesTypePathAndMessage) {
    corvid::exception plain(std::string("OpenMutex returned 0x00000005"));
    EXPECT_STREQ(plain.what(), "[OpenMutex returned 0x00000005]");
    EXPECT_STREQ(plain.type_path(), "");
    EXPECT_STREQ(corvid::exception(std::string()).what(), "[]");

    level_one one("CreateFile failed: x");
    EXPECT_STREQ(one.what(), "log[CreateFile failed: x]");

    level_two two("m");
    EXPECT_STREQ(two.type_path(), "log.key_error");
    EXPECT_STREQ(two.what(), "log.key_error[m]");

    // Caught through the standard base, the text is the same.
    try {
        throw level_two("thrown");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "log.key_error[thrown]");
    }
}

TEST(Exception, FormatConstructorAndCopy) {
    corvid::exception e("resource string %d is not found", 2001);
    EXPECT_STREQ(e.message(), "resource string 2001 is not found");
    corvid::exception copy(e);
    EXPECT_STREQ(copy.what(), "[resource string 2001 is not found]");
    EXPECT_STREQ(corvid::exception("OpenMutex returned 0x%08x", 5u).message(),
                 "OpenMutex returned 0x00000005");
}

TEST(Format, ResultsAroundTheInitialBufferComeBackWhole) {
    for (std::size_t n : {0u, 1u, 1023u, 1024u, 1025u, 2047u, 2048u, 100000u}) {
        std::string filler(n, 'x');
        EXPECT_EQ(corvid::format("%s", filler.c_str()), filler) << n;
        std::wstring wfiller(n, L'y');
        EXPECT_EQ(corvid::wformat(L"%s", wfiller.c_str()), wfiller) << n;
    }
    // Directives after a long text still land.
    std::string long_text(1500, 'a');
    EXPECT_EQ(corvid::format("%s|%d|%x", long_text.c_str(), -7, 255u), long_text + "|-7|ff");
}

TEST(Format, WideFormatUsesTheWindowsConventionEverywhere) {
    // %s takes a wide string, %hs a narrow one, %c a wide character.
    EXPECT_EQ(corvid::wformat(L"%s_com_error: %s", L"Failed ", L"boom"), L"Failed _com_error: boom");
    EXPECT_EQ(corvid::wformat(L"[%hs]", "narrow"), L"[narrow]");
    EXPECT_EQ(corvid::wformat(L"%c%c", L'o', L'k'), L"ok");
    EXPECT_EQ(corvid::wformat(L"%5d|%-3s|%%", 42, L"a"), L"   42|a  |%");
    EXPECT_EQ(corvid::wformat(L"%ls", L"explicit"), L"explicit");
}

}  // namespace
