#include "corvid/unicode/codepages.hpp"

#include <gtest/gtest.h>

using corvid::unicode::codepage_aliases;
using corvid::unicode::codepage_names;

TEST(CodepageAliases, HoldsTheDistinctAliasesWithTheFirstInsertionWinning) {
    EXPECT_EQ(codepage_aliases.size(), 104u);
    // Inserted first with 1252, later with 28591.
    EXPECT_EQ(codepage_aliases.at("isoir100"), 1252);
    EXPECT_EQ(codepage_aliases.at("xeuropa"), 29001);
    EXPECT_EQ(codepage_aliases.at("isoir149"), 949);
    for (const auto& [alias, codepage] : codepage_aliases) {
        ASSERT_FALSE(alias.empty());
        for (char c : alias)
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << alias;
    }
}

TEST(CodepageAliases, SampleRows) {
    const std::pair<const char*, int> rows[] = {
        {"ascii", -1},          {"usascii", -1},       {"iso646us", 1252},    {"isoir6", 1252},
        {"utf8", 65001},        {"unicode20utf7", 65000}, {"asmo780", 780},   {"isoir127", 28596},
        {"gb18030", 54936},     {"isoir58", 936},      {"xmacchinesesimp", 52936},
        {"xxbig5", 950},        {"koi8ru", 21866},     {"isoir101", 28592},   {"visual", 28598},
        {"iso88598i", 38598},   {"xisciias", 10079},   {"xisciide", 57003},   {"xisciibe", 57006},
        {"xisciipa", 57011},    {"iso2022jp", 50221},  {"cswindows31j", 932}, {"xeucjp", 51932},
        {"korean", 949},        {"johab", 1361},       {"xcseuckr", 51949},   {"tis620", 874},
        {"isoir148", 1254},     {"macintosh", 10000},  {"xmacce", 10029},     {"xmaccyrillic", 10007},
    };
    for (const auto& [alias, codepage] : rows) {
        auto it = codepage_aliases.find(alias);
        ASSERT_NE(it, codepage_aliases.end()) << alias;
        EXPECT_EQ(it->second, codepage) << alias;
    }
    // Spellings that are not aliases: the table is keyed by the reduced form only.
    EXPECT_EQ(codepage_aliases.count("utf-8"), 0u);
    EXPECT_EQ(codepage_aliases.count("UTF8"), 0u);
}

TEST(CodepageNames, HoldsTheWindowsNamesSpelledExactly) {
    EXPECT_EQ(codepage_names.size(), 140u);
    const std::pair<int, const char*> rows[] = {
        {37, "IBM037"},          {708, "ASMO-708"},       {737, "ibm737"},
        {858, "IBM00858"},       {866, "cp866"},          {932, "shift_jis"},
        {949, "ks_c_5601-1987"}, {1201, "unicodeFFFE"},   {1252, "windows-1252"},
        {1361, "Johab"},         {12001, "utf-32BE"},     {20000, "x-Chinese_CNS"},
        {20002, "x_Chinese-Eten"}, {20833, "x-EBCDIC-KoreanExtended"}, {20838, "IBM-Thai"},
        {29001, "x-Europa"},     {50220, "iso-2022-jp"},  {50221, "csISO2022JP"},
        {50222, "iso-2022-jp"},  {51936, "EUC-CN"},       {54936, "GB18030"},
        {57011, "x-iscii-pa"},   {65000, "utf-7"},        {65001, "utf-8"},
    };
    for (const auto& [codepage, name] : rows) {
        auto it = codepage_names.find(codepage);
        ASSERT_NE(it, codepage_names.end()) << codepage;
        EXPECT_EQ(it->second, name) << codepage;
    }
    EXPECT_EQ(codepage_names.begin()->first, 37);
    EXPECT_EQ(codepage_names.rbegin()->first, 65001);
    EXPECT_EQ(codepage_names.count(0), 0u);
    EXPECT_EQ(codepage_names.count(-1), 0u);
}
