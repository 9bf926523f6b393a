// The bootstrapper as a user runs it: real installers packed around the
// probe payload, started as processes under a private TEMP.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>

#include "corvid/handle.hpp"
#include "corvid/temp.hpp"
#include "corvid/win32.hpp"

#include "tests/process/harness.hpp"

using process_test::installer_fixture;

namespace {

const std::vector<std::pair<std::string, std::string>> shipped_values = {
    {"msilog", "ON"},
    {"parameters", "/V\"TARNWICKPROP=1 WEBINSTALLER=1 \""},
    {"executable32", "%installer32%"},
};

std::string no_slash(const std::string& dir) { return dir.substr(0, dir.size() - 1); }

// The parameters part of the probe's command line: what follows the
// program's own (possibly quoted) path and one blank.
std::string parameters_of(const std::string& command_line) {
    std::string::size_type end;
    if (!command_line.empty() && command_line[0] == '"') end = command_line.find('"', 1) + 1;
    else end = command_line.find(' ');
    if (end == std::string::npos || end >= command_line.size()) return std::string();
    return command_line.substr(end + 1);
}

bool has_working_directory(const std::vector<std::string>& names) {
    for (const std::string& n : names)
        if (n.rfind("ZELT", 0) == 0) return true;
    return false;
}

}  // namespace

TEST(Run, ExitCodesPassThroughUnchanged) {
    installer_fixture f("exit");
    std::string installer = f.pack(shipped_values);
    for (std::uint32_t code : {0u, 1u, 300u, 1602u, 1641u, 3010u, 0xFFFFFFFFu}) {
        auto result = f.run(installer, "/s", code);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, code);
    }
}

TEST(Run, PayloadGetsComposedParametersFromTheTempDirectory) {
    installer_fixture f("params");
    std::string installer = f.pack(shipped_values);
    auto result = f.run(installer, "/s");
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exit_code, 0u);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";

    const std::string temp = no_slash(f.temp());
    EXPECT_EQ(parameters_of(report["commandline"]),
              "/s /V\"/l*v \\\"" + temp + "\\KAVRO_msi.log.txt\\\"  TARNWICKPROP=1 WEBINSTALLER=1 \"");
    // Started from the temporary directory, not from the working directory.
    EXPECT_EQ(report["cwd"], temp);
    // The payload itself lies in the per-run working directory.
    std::regex in_working_directory(std::regex_replace(temp, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)") +
                                    R"(\\ZELT-?[0-9]+\\probe\.exe)");
    EXPECT_TRUE(std::regex_match(report["path"], in_working_directory)) << report["path"];

    // The working directory is gone; the log and MSI log paths are the only leftovers.
    EXPECT_FALSE(has_working_directory(f.temp_entries()));
}

TEST(Run, OwnPropertySwitchIsMergedIntoTheArchiveSwitch) {
    installer_fixture f("merge");
    std::string installer = f.pack({{"msilog", "ON"}, {"parameters", "/V\"A=1 B=1 \""}});
    auto result = f.run(installer, "/s /V\"X=1\"");
    ASSERT_TRUE(result.finished);
    const std::string temp = no_slash(f.temp());
    EXPECT_EQ(parameters_of(f.report()["commandline"]),
              "/s  /V\"/l*v \\\"" + temp + "\\KAVRO_msi.log.txt\\\" X=1 A=1 B=1 \"");
}

TEST(Run, SourceReferenceReachesThePayloadAsTheWorkingDirectory) {
    installer_fixture f("source");
    std::string installer = f.pack({{"parameters", "SRC=%source%"}});
    auto result = f.run(installer, "/s");
    ASSERT_TRUE(result.finished);
    auto report = f.report();
    std::string path = report["path"];
    std::string working_directory = path.substr(0, path.rfind('\\'));
    EXPECT_EQ(parameters_of(report["commandline"]), "/s SRC=" + working_directory + "/V\"\"");
}

TEST(Run, SelfReferenceOnTheCommandLineEndsInAnOrderlyLaunch) {
    installer_fixture f("selfref");
    std::string installer = f.pack({{"parameters", "P=1"}});
    auto result = f.run(installer, "/s %commandline% %parameters%", 7);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 7u);
    // The references expand as far as they do without re-entering themselves,
    // and the self-reference stays in the text.
    std::string parameters = parameters_of(f.report()["commandline"]);
    EXPECT_EQ(parameters.rfind("/s /s %commandline% ", 0), 0u) << parameters;
    EXPECT_TRUE(parameters.size() >= 7 && parameters.compare(parameters.size() - 7, 7, "P=1/V\"\"") == 0)
        << parameters;
}

TEST(Run, DamagedPayloadEndsWithOneAndLaunchesNothing) {
    installer_fixture f("damaged");
    std::string installer = f.pack(shipped_values);
    std::string bytes = process_test::read_all(installer);
    std::string probe = process_test::read_all(process_test::bin_dir() + "probe.exe");
    // Change one byte in the middle of the payload's data chunk.
    std::string::size_type at = bytes.rfind(probe.substr(0, 4096));
    ASSERT_NE(at, std::string::npos);
    bytes[at + probe.size() / 2] ^= 0x5A;
    process_test::write_all(installer, bytes);

    auto result = f.run(installer, "/s");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload ran";
    EXPECT_FALSE(has_working_directory(f.temp_entries()));
}

TEST(Run, MissingTailEndsWithOne) {
    installer_fixture f("notail");
    std::string installer = f.pack(shipped_values);
    std::string bytes = process_test::read_all(installer);
    std::string::size_type tail = bytes.rfind("chunked-installer-tail");
    ASSERT_NE(tail, std::string::npos);
    bytes[tail] = 'C';
    process_test::write_all(installer, bytes);

    auto result = f.run(installer, "/s");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty());
    EXPECT_FALSE(has_working_directory(f.temp_entries()));
}

TEST(Run, PayloadThatCannotBeStartedEndsWithOne) {
    installer_fixture f("nostart");
    std::string installer = f.pack({{"executable32", "missing.exe"}});
    auto result = f.run(installer, "/s");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty());
    EXPECT_FALSE(has_working_directory(f.temp_entries()));
}

// The working folder's name is predictable, and %TEMP% is the user's: any
// process of the user can make the folder first and plant a library that the
// elevated setup would load from beside itself.
TEST(Run, PreCreatedWorkingFolderIsNeverUsedAsItWas) {
    installer_fixture f("precreated");
    std::string installer = f.pack(shipped_values);
    const std::string library = "MZ planted library";
    // Folders for this second and the next few, each with a planted library
    // and file.
    std::time_t now = std::time(nullptr);
    std::vector<std::string> planted;
    for (int i = 0; i < 5; ++i) {
        std::string dir = f.temp() + "ZELT" + std::to_string(static_cast<int>(now + i)) + "\\";
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
        process_test::write_all(dir + "version.dll", library);
        process_test::write_all(dir + "setup.ini", "planted");
        planted.push_back(dir);
    }
    auto result = f.run(installer, "/s", 5);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 5u);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";
    // It ran from a folder that held what the archive holds, and no more.
    EXPECT_EQ(report["folder"], "probe.exe");
    const std::string run_folder = report["path"].substr(0, report["path"].rfind('\\') + 1);
    EXPECT_NE(std::find(planted.begin(), planted.end(), run_folder), planted.end()) << run_folder;

    // The folder used is removed; the planted folders of other seconds stay
    // as they were (they are not the run's to touch).
    int gone = 0;
    for (const std::string& dir : planted) {
        if (::GetFileAttributesA(dir.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ++gone;
            continue;
        }
        EXPECT_EQ(process_test::read_all(dir + "setup.ini"), "planted");
        corvid::remove_directory_tree(dir);
    }
    EXPECT_EQ(gone, 1);
    for (const std::string& name : f.temp_entries())
        EXPECT_TRUE(name.rfind("Keelson", 0) == 0 || name == "probe-report.txt") << "left: " << name;
}

// A planted file that cannot be deleted (held open by the planting process):
// no fresh folder can be had, and nothing is started.
TEST(Run, WorkingFolderThatCannotBeMadeFreshEndsWithOne) {
    installer_fixture f("heldplant");
    std::string installer = f.pack(shipped_values);
    std::time_t now = std::time(nullptr);
    std::vector<corvid::unique_file> held;
    for (int i = 0; i < 5; ++i) {
        std::string dir = f.temp() + "ZELT" + std::to_string(static_cast<int>(now + i)) + "\\";
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
        process_test::write_all(dir + "version.dll", "planted");
        held.emplace_back(::CreateFileA((dir + "version.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.back());
    }
    auto result = f.run(installer, "/s", 5);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload ran";
    held.clear();
    for (const std::string& name : f.temp_entries())
        if (name.rfind("ZELT", 0) == 0) corvid::remove_directory_tree(f.temp() + name);
}
