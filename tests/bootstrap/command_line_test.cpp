#include "bootstrap/command_line.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "bootstrap/process_state.hpp"
#include "bootstrap/volume_policy.hpp"

using archive::entry_table;

namespace {

const std::string work_dir = R"(C:\Temp\ZELT1700000000\)";
const std::string log_path = R"(C:\Temp\KAVRO_msi.log.txt)";

// One run's composition on a private table, in the order the run calls it:
// "source" and the split before the archive values, then merge and log.
struct composition {
    entry_table table;
    std::string passthrough = "left over";
    std::vector<std::string> reset_paths;

    explicit composition(const std::string& command_line) {
        table.lookup_or_create("source") = work_dir.substr(0, work_dir.size() - 1);
        bootstrap::split_property_switch(table, passthrough, command_line);
    }
    composition& archive_value(const std::string& key, const std::string& value) {
        table.insert_if_absent(key, value);
        return *this;
    }
    std::string merge() {
        bootstrap::merge_parameters(table, passthrough);
        return parameters();
    }
    std::string add_log() {
        bootstrap::add_msi_log_switch(table, work_dir,
                                      [this](const std::string& p) { reset_paths.push_back(p); });
        return parameters();
    }
    std::string commandline() const { return *table.find("commandline"); }
    std::string parameters() const { return *table.find("parameters"); }
};

}  // namespace

TEST(MsiLogPath, LiesBesideTheWorkingDirectory) {
    EXPECT_EQ(bootstrap::parent_directory(work_dir), R"(C:\Temp)");
    EXPECT_EQ(bootstrap::msi_log_path(work_dir), log_path);
    EXPECT_EQ(bootstrap::msi_log_path(R"(C:\Users\Ann Lee\AppData\Local\Temp\ZELT1\)"),
              R"(C:\Users\Ann Lee\AppData\Local\Temp\KAVRO_msi.log.txt)");
    // The search starts before the last character, backslash or not.
    EXPECT_EQ(bootstrap::msi_log_path(R"(C:\Temp\ZELT1)"), log_path);
    EXPECT_EQ(bootstrap::msi_log_path(R"(C:\\)"), R"(C:\KAVRO_msi.log.txt)");
    // Without a backslash before the last character the path stays whole.
    EXPECT_EQ(bootstrap::msi_log_path(""), R"(\KAVRO_msi.log.txt)");
    EXPECT_EQ(bootstrap::msi_log_path("\\"), R"(\\KAVRO_msi.log.txt)");
}

TEST(CommandLine, QuotedSwitchMergedIntoQuotedArchiveSwitchWithLog) {
    composition c(R"(/s /V"X=1")");
    EXPECT_EQ(c.passthrough, "X=1");
    EXPECT_EQ(c.commandline(), "/s ");
    c.archive_value("parameters", R"(/V"A=1 B=1 ")").archive_value("msilog", "ON");
    EXPECT_EQ(c.merge(), R"(/s  /V"X=1 A=1 B=1 ")");
    EXPECT_EQ(c.add_log(), R"(/s  /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" X=1 A=1 B=1 ")");
    EXPECT_EQ(c.reset_paths, std::vector<std::string>{log_path});
}

TEST(CommandLine, EmptyCommandLineStillGetsTheBlanks) {
    composition c("");
    EXPECT_EQ(c.passthrough, "");
    EXPECT_EQ(c.commandline(), "");
    c.archive_value("parameters", R"(/V"A=1 ")").archive_value("msilog", "ON");
    EXPECT_EQ(c.merge(), R"( /V" A=1 ")");
    EXPECT_EQ(c.add_log(), R"( /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\"  A=1 ")");
}

TEST(CommandLine, NoSwitchAnywhereAppendsAnEmptyOne) {
    composition c("/qn");
    EXPECT_EQ(c.commandline(), "/qn");
    EXPECT_EQ(c.passthrough, "");
    EXPECT_EQ(c.merge(), R"(/qn /V"")");
    EXPECT_EQ(c.add_log(), R"(/qn /V"")");  // no "msilog"
    EXPECT_TRUE(c.reset_paths.empty());
}

TEST(CommandLine, UnquotedSwitchEndsBeforeTheNextSwitch) {
    composition c("/VREBOOT=R /s");
    EXPECT_EQ(c.passthrough, "REBOOT=R");
    EXPECT_EQ(c.commandline(), " /s");
    c.archive_value("parameters", R"(/V"A=1 ")");
    EXPECT_EQ(c.merge(), R"( /s /V"REBOOT=R A=1 ")");
}

TEST(CommandLine, SmallVIsFoundAndUnquotedArchiveSwitchGetsQuotes) {
    composition c(R"(/v"X=1" /s)");
    EXPECT_EQ(c.passthrough, "X=1");
    EXPECT_EQ(c.commandline(), " /s");
    c.archive_value("parameters", "/VA=1");
    EXPECT_EQ(c.merge(), R"( /s /V"X=1"A=1)");
}

TEST(SplitPropertySwitch, OnlyTheFirstSwitchIsTakenAndQuotedWins) {
    composition two_quoted(R"(/V"A=1" /V"B=2")");
    EXPECT_EQ(two_quoted.passthrough, "A=1");
    EXPECT_EQ(two_quoted.commandline(), R"( /V"B=2")");

    composition unquoted_first(R"(/VA=1 /v"B=2" /qn)");
    EXPECT_EQ(unquoted_first.passthrough, "B=2");
    EXPECT_EQ(unquoted_first.commandline(), "/VA=1  /qn");

    composition two_unquoted("/VA=1 /VB=2");
    EXPECT_EQ(two_unquoted.passthrough, "A=1");
    EXPECT_EQ(two_unquoted.commandline(), " /VB=2");
    // The remaining switch reaches the payload unchanged.
    EXPECT_EQ(two_unquoted.merge(), R"( /VB=2 /V"A=1")");
}

TEST(LaunchDirectory, DriveRootKeepsItsBackslash) {
    EXPECT_EQ(bootstrap::launch_directory(work_dir), R"(C:\Temp)");
    EXPECT_EQ(bootstrap::launch_directory(R"(D:\ZELT1700000000\)"), R"(D:\)");
    // The log path is unchanged by it: one backslash after the drive.
    EXPECT_EQ(bootstrap::msi_log_path(R"(D:\ZELT1700000000\)"), R"(D:\KAVRO_msi.log.txt)");
    EXPECT_EQ(bootstrap::launch_directory(R"(\\server\share\ZELT1\)"), R"(\\server\share)");
}

TEST(SplitPropertySwitch, EscapedQuoteStaysInsideTheQuotedSwitch) {
    composition path(R"(/s /V"INSTALLDIR=\"C:\Program Files\Tarnwick\" X=1" /qn)");
    EXPECT_EQ(path.passthrough, R"(INSTALLDIR=\"C:\Program Files\Tarnwick\" X=1)");
    EXPECT_EQ(path.commandline(), "/s  /qn");
    path.archive_value("parameters", R"(/V"A=1 ")");
    EXPECT_EQ(path.merge(), R"(/s  /qn /V"INSTALLDIR=\"C:\Program Files\Tarnwick\" X=1 A=1 ")");

    // Two backslashes are the value's own: the quote after them ends it.
    composition even(R"(/V"DIR=C:\Temp\\" /qn)");
    EXPECT_EQ(even.passthrough, R"(DIR=C:\Temp\\)");
    EXPECT_EQ(even.commandline(), " /qn");

    // Three: one escaped backslash and an escaped quote; the next quote ends it.
    composition odd(R"(/V"A=\\\"B\\\"" /x)");
    EXPECT_EQ(odd.passthrough, R"(A=\\\"B\\\")");
    EXPECT_EQ(odd.commandline(), " /x");

    // An escaped quote with no closing one runs to the end, like any open quote.
    composition open(R"(/qn /V"A=\"1)");
    EXPECT_EQ(open.passthrough, R"(A=\"1)");
    EXPECT_EQ(open.commandline(), "/qn ");

    // A backslash first in the value escapes the quote after it.
    composition first(R"(/V"\" X)");
    EXPECT_EQ(first.passthrough, R"(\" X)");
}

TEST(SplitPropertySwitch, ValueRunsToTheEndWithoutTerminator) {
    composition open_quote(R"(/qn /V"X=1 Y=2)");
    EXPECT_EQ(open_quote.passthrough, "X=1 Y=2");
    EXPECT_EQ(open_quote.commandline(), "/qn ");

    composition unquoted_last("/qn /VX=1 Y=2");
    EXPECT_EQ(unquoted_last.passthrough, "X=1 Y=2");
    EXPECT_EQ(unquoted_last.commandline(), "/qn ");

    composition bare("/qn /v");
    EXPECT_EQ(bare.passthrough, "");
    EXPECT_EQ(bare.commandline(), "/qn ");

    composition empty_quoted(R"(/V"")");
    EXPECT_EQ(empty_quoted.passthrough, "");
    EXPECT_EQ(empty_quoted.commandline(), "");
}

TEST(SplitPropertySwitch, CaseIsKeptAndOnlyAsciiLettersAreFolded) {
    // The value and the rest keep the case as typed; a byte above 0x7F is
    // neither folded nor confused with a letter.
    composition c("/qN /Vprop=\xE4v /Sx");
    EXPECT_EQ(c.passthrough, "prop=\xE4v");
    EXPECT_EQ(c.commandline(), "/qN  /Sx");
    // 0xF6 masked to upper case by clearing bits would read as "V".
    composition no_switch("\xF6/\xF6 /x");
    EXPECT_EQ(no_switch.commandline(), "\xF6/\xF6 /x");
    EXPECT_EQ(no_switch.passthrough, "");
}

TEST(MergeParameters, ArchiveSearchIsCaseSensitive) {
    composition c(R"(/V"X=1")");
    c.archive_value("parameters", "/vA=1").archive_value("msilog", "ON");
    EXPECT_EQ(c.merge(), R"( /vA=1/V"X=1")");
    EXPECT_EQ(c.add_log(), R"( /vA=1/V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" X=1")");
}

TEST(AddMsiLogSwitch, EachFormOfTheArchiveSwitch) {
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {"", R"(/V"/l*v \"C:\Temp\KAVRO_msi.log.txt\"")"},
             {"/qb /vA=1", R"(/qb /vA=1/V"/l*v \"C:\Temp\KAVRO_msi.log.txt\"")"},
             {"/VA=1", R"(/V"/l*v \"C:\Temp\KAVRO_msi.log.txt\""A=1)"},
             {R"(/VA=1 /V"B=2")", R"(/VA=1 /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" B=2")"},
         }) {
        composition c("");
        c.table.lookup_or_create("parameters") = before;
        c.table.lookup_or_create("msilog") = "ON";
        EXPECT_EQ(c.add_log(), after) << before;
    }
}

TEST(AddMsiLogSwitch, OnlyExactlyOnAsksForTheLog) {
    for (const char* value : {"on", "ON ", " ON", "On", "ON\n", "", "1", "OFF"}) {
        composition c("");
        c.archive_value("parameters", R"(/V"A=1")").archive_value("msilog", value);
        EXPECT_EQ(c.add_log(), R"(/V"A=1")") << value;
        EXPECT_TRUE(c.reset_paths.empty()) << value;
    }
}

TEST(AddMsiLogSwitch, FailingAttributeResetLeavesParametersAndReportsNothing) {
    entry_table table;
    table.lookup_or_create("parameters") = R"(/V"A=1")";
    table.lookup_or_create("msilog") = "ON";
    bootstrap::add_msi_log_switch(table, work_dir,
                                  [](const std::string&) { throw std::runtime_error("denied"); });
    EXPECT_EQ(*table.find("parameters"), R"(/V"A=1")");
    // An empty reset is skipped, not called.
    bootstrap::add_msi_log_switch(table, work_dir, bootstrap::attribute_reset());
    EXPECT_EQ(*table.find("parameters"), R"(/V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" A=1")");
}

TEST(PayloadParameters, ReferencesOnTheOwnCommandLineAreExpanded) {
    composition c(R"(/qn INSTALLDIR="%source%\app" /V"LOG=%source%")");
    c.archive_value("parameters", R"(/V"A=%msilog%")");
    c.merge();
    c.add_log();  // reads the absent "msilog", which creates it empty
    EXPECT_EQ(bootstrap::payload_parameters(c.table),
              R"(/qn INSTALLDIR="C:\Temp\ZELT1700000000\app"  /V"LOG=C:\Temp\ZELT1700000000 A=")");
    // The stored entry keeps its references.
    EXPECT_EQ(c.parameters(), R"(/qn INSTALLDIR="%source%\app"  /V"LOG=%source% A=%msilog%")");
}

TEST(PayloadParameters, SelfReferencesStayUnexpandedAndTheRunGoesOn) {
    composition via_commandline("%commandline% /qn");
    via_commandline.merge();
    // "commandline" is expanded once; inside its own value it is a cycle.
    EXPECT_EQ(bootstrap::payload_parameters(via_commandline.table), R"(%commandline% /qn /qn /V"")");

    composition via_parameters("/qn %parameters%");
    via_parameters.merge();
    EXPECT_EQ(bootstrap::payload_parameters(via_parameters.table), R"(/qn %parameters% /V"")");

    composition through_archive("%x%");
    through_archive.archive_value("x", "[%parameters%]");
    through_archive.merge();
    EXPECT_EQ(bootstrap::payload_parameters(through_archive.table), R"([%parameters%] /V"")");
}

TEST(PayloadParameters, ExpansionBeyondItsBoundsIsThrownToTheRun) {
    entry_table table;
    std::string many;
    for (int i = 0; i < 1000; ++i) many += "%big%";
    table.lookup_or_create("big") = std::string(2000, 'x');
    table.lookup_or_create("parameters") = many;
    table.lookup_or_create("executable32") = many;
    EXPECT_THROW(bootstrap::payload_parameters(table), archive::expansion_error);
    EXPECT_THROW(bootstrap::payload_path(table, work_dir), archive::expansion_error);
}

TEST(PayloadPath, WorkingDirectoryPlusExpandedExecutable) {
    composition shipped("");
    shipped.archive_value("executable32", "%installer32%").archive_value("installer32", "setup.exe");
    EXPECT_EQ(bootstrap::payload_path(shipped.table, work_dir), work_dir + "setup.exe");

    composition none("");
    EXPECT_EQ(bootstrap::payload_path(none.table, work_dir), work_dir);
    EXPECT_NE(none.table.find("executable32"), nullptr);  // asking created it
}

TEST(CommandLine, ArchiveCannotReplaceCommandlineOrSource) {
    composition c("/qn");
    c.archive_value("commandline", "/evil").archive_value("source", R"(D:\elsewhere)");
    c.archive_value("parameters", "%source%");
    EXPECT_EQ(c.commandline(), "/qn");
    c.merge();
    EXPECT_EQ(bootstrap::payload_parameters(c.table), R"(/qn C:\Temp\ZELT1700000000/V"")");
}

TEST(ProcessWideForms, ComposeOverTheProcessState) {
    archive::entry_table& table = archive::process_entries();
    table.clear();
    archive::working_directory = work_dir;
    table.lookup_or_create("source") = R"(C:\Temp\ZELT1700000000)";
    bootstrap::split_property_switch(R"(/s /V"X=1")");
    EXPECT_EQ(bootstrap::passthrough_properties, "X=1");
    table.insert_if_absent("msilog", "ON");
    table.insert_if_absent("parameters", R"(/V"A=1 B=1 ")");
    table.insert_if_absent("executable32", "%installer32%");
    table.insert_if_absent("installer32", "setup.exe");
    bootstrap::merge_parameters();
    std::string reset;
    bootstrap::add_msi_log_switch([&reset](const std::string& p) { reset = p; });
    EXPECT_EQ(reset, log_path);
    EXPECT_EQ(bootstrap::payload_parameters(),
              R"(/s  /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" X=1 A=1 B=1 ")");
    EXPECT_EQ(bootstrap::payload_path(), work_dir + "setup.exe");
    table.clear();
    archive::working_directory.clear();
    bootstrap::passthrough_properties.clear();
}

// The own command line after the program's name, as the runtime hands it to
// WinMain: quotes open and close within the name, then blanks and control
// characters go.
TEST(OwnCommandLine, ArgumentsFollowTheProgramsName) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"setup.exe /s", L"/s"},
        {L"\"C:\\My Downloads\\setup.exe\" /V\"A=1\"", L"/V\"A=1\""},
        {L"C:\\\"My Downloads\"\\setup.exe\t \x01/s ", L"/s "},
        {L"setup.exe\t/s", L"/s"},
        {L"\"C:\\unterminated /s", L""},
        {L"setup.exe", L""},
        {L"", L""},
        {L"\"\xFF02\" \xFF02/s", L"\xFF02/s"},
    };
    for (const auto& [command_line, arguments] : cases)
        EXPECT_EQ(bootstrap::arguments_after_program_name(command_line), arguments);
}

// What the payload is started with: its quoted path, one blank, and the
// parameters exactly as composed (here those of the worked compositions).
TEST(PayloadCommandLine, QuotedPathThenTheComposedParameters) {
    const std::wstring path = LR"(C:\Temp\ZELT1700000000\setup.exe)";
    for (const wchar_t* parameters :
         {LR"(/s  /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\" X=1 A=1 B=1 ")",
          LR"( /V"/l*v \"C:\Temp\KAVRO_msi.log.txt\"  A=1 ")", LR"(/qn /V"")", LR"( /s /V"REBOOT=R A=1 ")",
          LR"( /s /V"X=1"A=1)"})
        EXPECT_EQ(bootstrap::payload_command_line(path, parameters), L"\"" + path + L"\" " + parameters);
    EXPECT_EQ(bootstrap::payload_command_line(path, L""), L"\"" + path + L"\"");
    EXPECT_EQ(bootstrap::payload_command_line(LR"(C:\a"b.exe)", L"/s"), L"");
}

TEST(PayloadEnvironment, SetsOneVariableAndKeepsTheRest) {
    using namespace std::string_literals;
    const std::wstring name = L"NoDefaultCurrentDirectoryInExePath";
    const struct {
        std::wstring block, result;
    } cases[] = {
        {L"=C:=C:\\x\0A=1\0B=2\0\0"s, L"=C:=C:\\x\0A=1\0B=2\0NoDefaultCurrentDirectoryInExePath=1\0\0"s},
        // Replaced where it stands, whatever its case; a second spelling goes.
        {L"A=1\0nodefaultcurrentdirectoryinexepath=\0B=2\0NODEFAULTCURRENTDIRECTORYINEXEPATH=x\0\0"s,
         L"A=1\0NoDefaultCurrentDirectoryInExePath=1\0B=2\0\0"s},
        // A name that merely begins like it is another variable.
        {L"NoDefaultCurrentDirectoryInExePathX=0\0\0"s,
         L"NoDefaultCurrentDirectoryInExePathX=0\0NoDefaultCurrentDirectoryInExePath=1\0\0"s},
        // An unterminated last entry is left out.
        {L"A=1\0B=2"s, L"A=1\0NoDefaultCurrentDirectoryInExePath=1\0\0"s},
        {L""s, L"NoDefaultCurrentDirectoryInExePath=1\0\0"s},
    };
    for (const auto& c : cases) EXPECT_EQ(bootstrap::environment_with(c.block, name, L"1"), c.result);
}

// Where the working folder can be private: only on a local volume that
// keeps access lists.
TEST(VolumePolicy, OnlyLocalVolumesWithAccessListsHoldTheWorkingFolder) {
    const struct {
        bootstrap::volume_facts facts;
        const char* reason;
    } cases[] = {
        {{true, true, false, "NTFS"}, ""},
        {{true, true, false, "ReFS"}, ""},
        {{true, false, false, "FAT32"}, "a volume that keeps no access permissions (FAT32)"},
        {{true, false, false, ""}, "a volume that keeps no access permissions"},
        {{true, true, true, "NTFS"}, "a network share"},
        {{true, false, true, "FAT32"}, "a network share"},
        {{false, true, false, "NTFS"}, "a volume whose access permissions cannot be checked"},
    };
    for (const auto& c : cases) EXPECT_EQ(bootstrap::unprotected_volume_reason(c.facts), c.reason);
}
