#include "examples/sample_setup/command_line.hpp"

#include <gtest/gtest.h>

using sample_setup::msiexec_arguments;
using sample_setup::parse_setup_command_line;
using sample_setup::setup_options;
using sample_setup::split_arguments;

using args = std::vector<std::wstring>;

TEST(SplitArguments, FollowsTheRuntimeRulesForQuotesAndBackslashes) {
    EXPECT_EQ(split_arguments(L""), args{});
    EXPECT_EQ(split_arguments(L" \t "), args{});
    EXPECT_EQ(split_arguments(L"  a\tb  c "), (args{L"a", L"b", L"c"}));
    EXPECT_EQ(split_arguments(L"\"a b\"c d"), (args{L"a bc", L"d"}));
    EXPECT_EQ(split_arguments(L"\"\""), args{L""});
    // Backslashes are literal unless a quote follows them.
    EXPECT_EQ(split_arguments(L"C:\\dir\\ x\\\\y"), (args{L"C:\\dir\\", L"x\\\\y"}));
    // 2n+1 backslashes: n of them and a literal quote.
    EXPECT_EQ(split_arguments(L"a\\\"b \\\\\\\"c"), (args{L"a\"b", L"\\\"c"}));
    // 2n backslashes: n of them, and the quote opens or closes.
    EXPECT_EQ(split_arguments(L"\"a\\\\\" b"), (args{L"a\\", L"b"}));
    // A doubled quote inside quotes is one literal quote.
    EXPECT_EQ(split_arguments(L"\"a\"\"b\" c"), (args{L"a\"b", L"c"}));
    // An unclosed quote runs to the end.
    EXPECT_EQ(split_arguments(L"x \"a b"), (args{L"x", L"a b"}));
}

TEST(ParseSetupCommandLine, TakesTheLineTheBootstrapperComposes) {
    setup_options o = parse_setup_command_line(
        L"/L1031  /s  /V\"/l*v \\\"C:\\users\\root\\Temp\\KAVRO_msi.log.txt\\\" "
        L"TARNWICKPROP=1 WEBINSTALLER=1 \"");
    EXPECT_TRUE(o.silent);
    EXPECT_EQ(o.language, L"1031");
    EXPECT_EQ(o.installer_text,
              L"/l*v \"C:\\users\\root\\Temp\\KAVRO_msi.log.txt\" TARNWICKPROP=1 WEBINSTALLER=1 ");
    EXPECT_TRUE(o.unknown.empty());
    EXPECT_TRUE(o.rejected_languages.empty());
}

TEST(ParseSetupCommandLine, SwitchesIgnoreCaseAndUnquotedValuesEndAtABlank) {
    setup_options o = parse_setup_command_line(L"/S /vREBOOT=R /l2057 /qn");
    EXPECT_TRUE(o.silent);
    EXPECT_EQ(o.installer_text, L"REBOOT=R");
    EXPECT_EQ(o.language, L"2057");
    EXPECT_EQ(o.unknown, args{L"/qn"});

    setup_options plain = parse_setup_command_line(L"/silent /V\"\"");
    EXPECT_FALSE(plain.silent);
    EXPECT_EQ(plain.unknown, args{L"/silent"});
    EXPECT_EQ(plain.installer_text, L"");
}

TEST(ParseSetupCommandLine, JoinsEveryPropertySwitchInOrder) {
    // The bootstrapper passes a second /V of its own command line on unchanged.
    setup_options o = parse_setup_command_line(L"/V\"Y=2\"  /V\"/l*v \\\"C:\\l.txt\\\" X=1 \"");
    EXPECT_EQ(o.installer_text, L"Y=2 /l*v \"C:\\l.txt\" X=1 ");
}

TEST(ParseSetupCommandLine, AcceptsOnlyLanguageNumbers) {
    // The bootstrapper passes a stored language name on as it is.
    setup_options name = parse_setup_command_line(L"/LGerman /s");
    EXPECT_EQ(name.language, L"");
    EXPECT_EQ(name.rejected_languages, args{L"German"});

    // A value with a blank would smuggle a property into msiexec's command line.
    setup_options smuggled = parse_setup_command_line(L"\"/L1031 ADMIN=1\" /L");
    EXPECT_EQ(smuggled.language, L"");
    EXPECT_EQ(smuggled.rejected_languages, (args{L"1031 ADMIN=1", L""}));

    EXPECT_EQ(parse_setup_command_line(L"/L0").language, L"");
    EXPECT_EQ(parse_setup_command_line(L"/L65536").language, L"");
    EXPECT_EQ(parse_setup_command_line(L"/L65535").language, L"65535");
    EXPECT_EQ(parse_setup_command_line(L"/L001031").language, L"");
    EXPECT_EQ(parse_setup_command_line(L"/L1036 /L1031").language, L"1036");
}

TEST(MsiexecArguments, PutsTheLanguageLastAndMapsSilentToNoUi) {
    setup_options o;
    o.silent = true;
    o.installer_text = L"/l*v \"C:\\t\\l.txt\" INSTALLERLANGUAGE=1036 A=1 ";
    o.language = L"1031";
    EXPECT_EQ(msiexec_arguments(L"C:\\w dir\\Tarnwick.msi", o),
              L"/i \"C:\\w dir\\Tarnwick.msi\" /qn /l*v \"C:\\t\\l.txt\" INSTALLERLANGUAGE=1036 A=1 "
              L" INSTALLERLANGUAGE=1031");

    EXPECT_EQ(msiexec_arguments(L"p.msi", setup_options{}), L"/i \"p.msi\" /qb");
}
