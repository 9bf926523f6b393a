#include "archive/entry_table.hpp"

#include <gtest/gtest.h>

using archive::entry_table;
using archive::expand_references;

TEST(EntryTable, InsertIfAbsentKeepsTheFirstValue) {
    entry_table t;
    EXPECT_TRUE(t.insert_if_absent("parameters", "first"));
    EXPECT_FALSE(t.insert_if_absent("parameters", "second"));
    EXPECT_EQ(*t.find("parameters"), "first");
    EXPECT_TRUE(t.insert_if_absent("", "empty key"));
    EXPECT_EQ(*t.find(""), "empty key");
    EXPECT_EQ(t.find("Parameters"), nullptr);  // case matters
}

TEST(EntryTable, LookupOrCreateCreatesEmptyAndFindCreatesNothing) {
    entry_table t;
    EXPECT_EQ(t.find("msilog"), nullptr);
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(t.lookup_or_create("msilog"), "");
    EXPECT_NE(t.find("msilog"), nullptr);
    t.lookup_or_create("msilog") = "ON";
    EXPECT_EQ(*t.find("msilog"), "ON");
}

TEST(ExpandReferences, DocumentedExamples) {
    entry_table t;
    t.insert_if_absent("b", "B");
    EXPECT_EQ(expand_references(t, "%a%b%"), "%aB");
    t.insert_if_absent("a", "A");
    EXPECT_EQ(expand_references(t, "%%a%"), "%A");
    EXPECT_EQ(expand_references(t, "no percent"), "no percent");
    EXPECT_EQ(expand_references(t, "%unknown% %a%"), "%unknown% A");
    EXPECT_EQ(expand_references(t, "trailing %"), "trailing %");
    EXPECT_EQ(expand_references(t, "%%%"), "%%%");
    EXPECT_EQ(expand_references(t, "%a"), "%a");
}

TEST(ExpandReferences, ValuesAreExpandedInTurnAndScanningResumesAfterTheInsert) {
    entry_table t;
    t.insert_if_absent("installer32", "setup.exe");
    t.insert_if_absent("executable32", "%installer32%");
    t.insert_if_absent("pct", "%");
    t.insert_if_absent("x", "X");
    EXPECT_EQ(expand_references(t, "%executable32%"), "setup.exe");
    // An inserted "%" is not rescanned together with the text after it.
    EXPECT_EQ(expand_references(t, "%pct%x%"), "%x%");
    // A key created empty by lookup-or-create expands to the empty text.
    t.lookup_or_create("asked");
    EXPECT_EQ(expand_references(t, "[%asked%]"), "[]");
}

TEST(ExpandReferences, CyclesStayUnexpandedAndTerminate) {
    entry_table t;
    t.insert_if_absent("a", "%a%");
    EXPECT_EQ(expand_references(t, "%a%"), "%a%");
    entry_table two;
    two.insert_if_absent("p", "<%q%>");
    two.insert_if_absent("q", "(%p%)");
    EXPECT_EQ(expand_references(two, "%p%"), "<(%p%)>");
    EXPECT_EQ(expand_references(two, "%q%"), "(<%q%>)");
}

TEST(ExpandReferences, LongChainsNeedNoRecursion) {
    entry_table t;
    const int depth = 200000;
    for (int i = 0; i < depth; ++i)
        t.insert_if_absent("k" + std::to_string(i), "%k" + std::to_string(i + 1) + "%");
    t.insert_if_absent("k" + std::to_string(depth), "end");
    EXPECT_EQ(expand_references(t, "%k0%"), "end");
}

TEST(ExpandReferences, MultiplyingReferencesAreRefused) {
    entry_table t;
    for (int i = 0; i < 40; ++i)
        t.insert_if_absent("m" + std::to_string(i),
                           "%m" + std::to_string(i + 1) + "%%m" + std::to_string(i + 1) + "%");
    t.insert_if_absent("m40", "xx");
    EXPECT_THROW(expand_references(t, "%m0%"), archive::expansion_error);
}

TEST(ExpandReferences, ReferencesThatMultiplyWorkAreRefused) {
    entry_table t;
    for (int i = 0; i < 60; ++i)
        t.insert_if_absent("e" + std::to_string(i),
                           "%e" + std::to_string(i + 1) + "%%e" + std::to_string(i + 1) + "%");
    t.insert_if_absent("e60", "");
    EXPECT_THROW(expand_references(t, "%e0%"), archive::expansion_error);
}

TEST(ExpandReferences, SubstitutionBoundIsExact) {
    // "a" holds 1,023 references to the empty "e": 1,024 references to "a"
    // make 1,024 + 1,024 * 1,023 = 2^20 substitutions, the most allowed.
    entry_table t;
    t.insert_if_absent("e", "");
    std::string a, text;
    for (int i = 0; i < 1023; ++i) a += "%e%";
    t.insert_if_absent("a", a);
    for (int i = 0; i < 1024; ++i) text += "%a%";
    ASSERT_EQ(archive::max_substitutions, std::size_t(1) << 20);
    EXPECT_EQ(expand_references(t, text + "tail"), "tail");
    EXPECT_THROW(expand_references(t, text + "%e%"), archive::expansion_error);
}

TEST(ExpandReferences, OneTextRepeatingALargeValueIsBounded) {
    // No nesting: one text names the same 64 KiB value again and again. The
    // result may reach the bound but not pass it, and past it the expansion
    // is refused instead of growing.
    entry_table t;
    t.insert_if_absent("big", std::string(64 * 1024, 'b'));
    std::string sixteen, many;
    for (int i = 0; i < 16; ++i) sixteen += "%big%";
    EXPECT_EQ(expand_references(t, sixteen).size(), archive::max_expanded_size);
    EXPECT_THROW(expand_references(t, sixteen + "%big%"), archive::expansion_error);
    for (int i = 0; i < 100000; ++i) many += "%big%";
    EXPECT_THROW(expand_references(t, many), archive::expansion_error);
}
