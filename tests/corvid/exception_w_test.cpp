#include "corvid/exception_w.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include "corvid/describe_exception.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <comdef.h>

using corvid::describe_current_exception;

TEST(ExceptionW, NarrowAndWideTexts) {
    const corvid::exception_w e(L"Error. config::init. GetModuleFileName return 0.");
    EXPECT_STREQ(e.what(), "[Error. config::init. GetModuleFileName return 0.]");
    EXPECT_STREQ(e.wwhat(), L"[Error. config::init. GetModuleFileName return 0.]");
    EXPECT_STREQ(e.type_path(), "");
    EXPECT_STREQ(e.wtype_path(), L"");

    corvid::exception_w formatted(L"resource %d: %s", 2002, L"Tarnwick");
    EXPECT_STREQ(formatted.wmessage(), L"resource 2002: Tarnwick");
    EXPECT_STREQ(formatted.message(), "resource 2002: Tarnwick");
}

TEST(ExceptionW, NarrowFormIsConvertedOnceAndReplacesWhatTheAnsiCodePageLacks) {
    ASSERT_EQ(::GetACP(), 1252u);
    corvid::exception_w e(L"key %s", L"\u65E5\u672C");
    const char* first = e.message();
    EXPECT_STREQ(first, "key ??");
    EXPECT_EQ(e.message(), first);  // kept, not converted again
    EXPECT_STREQ(e.what(), "[key ??]");
    EXPECT_STREQ(e.wwhat(), L"[key \u65E5\u672C]");

    // The copy carries the filled narrow form and the wide text.
    corvid::exception_w copy(e);
    EXPECT_STREQ(copy.message(), "key ??");
    EXPECT_STREQ(copy.wmessage(), L"key \u65E5\u672C");

    // Caught through the standard base, what() is the narrow form.
    try {
        throw corvid::exception_w(L"thrown \u00E9");
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "[thrown \xE9]");
    }
}

TEST(DescribeCurrentException, EachKindInTurn) {
    try {
        throw corvid::exception("X");
    } catch (...) {
        EXPECT_EQ(describe_current_exception(L"Failed"), L"Failed exception: [X]");
        EXPECT_EQ(describe_current_exception(L"Failed "), L"Failed exception: [X]");
        EXPECT_EQ(describe_current_exception(L""), L"exception: [X]");
    }
    try {
        throw std::runtime_error("plain \xE9");
    } catch (...) {
        EXPECT_EQ(describe_current_exception(L"a"), L"a exception: plain \u00E9");
    }
    try {
        // Described from its wide text: nothing goes through the ANSI code page.
        throw corvid::exception_w(L"\u65E5\u672C");
    } catch (...) {
        EXPECT_EQ(describe_current_exception(L"w"), L"w exception: [\u65E5\u672C]");
    }
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(describe_current_exception(L""), L"unknown exception");
        EXPECT_EQ(describe_current_exception(L"Failed"), L"Failed unknown exception");
    }
}

TEST(DescribeCurrentException, ComErrorUsesTheClassMessage) {
    const _com_error sample(E_OUTOFMEMORY);
    ASSERT_NE(sample.ErrorMessage(), nullptr);
    const std::wstring expected =
        L"Failed _com_error: " + corvid::unicode::to_wide(sample.ErrorMessage(), 0);
    try {
        throw _com_error(E_OUTOFMEMORY);
    } catch (...) {
        const std::wstring described = describe_current_exception(L"Failed");
        EXPECT_EQ(described, expected);
        EXPECT_GT(described.size(), std::wstring(L"Failed _com_error: ").size());
    }
}

TEST(DescribeCurrentException, LeavesTheExceptionBeingHandledAsItIs) {
    try {
        try {
            throw corvid::exception("inner");
        } catch (...) {
            describe_current_exception(L"x");
            throw;
        }
    } catch (const corvid::exception& e) {
        EXPECT_STREQ(e.message(), "inner");
    }
}

TEST(DescribeCurrentException, OutsideAHandlerSaysSoInsteadOfTerminating) {
    EXPECT_EQ(describe_current_exception(L"Failed"), L"Failed no exception being handled");
}
