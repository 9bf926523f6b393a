// Faults of the environment and paths that users have: a payload file locked
// by a scanner, a full disk, a locked log file, a temporary directory that
// the ANSI code page cannot name, an installer path with blanks and accented
// letters or beyond 260 characters. After each, the private temporary
// directory holds nothing but the logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "bootstrap/process_state.hpp"
#include "bootstrap/win32_extract.hpp"
#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"
#include "tests/process/harness.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/support/start_process.hpp"

using corvid::unicode::to_narrow;
using corvid::unicode::to_wide;
using process_test::installer_fixture;
using test_support::names_in;
using test_support::unix_path;

namespace {

const std::uint32_t probe_exit = 11;
const std::vector<std::pair<std::string, std::string>> values = {{"msilog", "ON"},
                                                                  {"parameters", "/V\"A=1 \""}};

bool is_log(const std::string& name) { return name.rfind("Keelson", 0) == 0 || name == "KAVRO_msi.log.txt"; }

// Launch lines ("File: " and the payload's path) in the bootstrapper's log:
// one for each run that went as far as starting its payload.
int launches_logged(const installer_fixture& f) {
    std::string log = process_test::read_all(f.temp() + "Keelson.log.txt");
    int n = 0;
    for (std::string::size_type at = log.find("File: "); at != std::string::npos; at = log.find("File: ", at + 1)) ++n;
    return n;
}

void expect_only_logs(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        EXPECT_TRUE(is_log(name) || name == "probe-report.txt") << "left in the temp directory: " << name;
}

// Working directories for the next seconds, made before the run, so that
// whichever second the run starts in, its working directory is one of them.
class working_directories {
public:
    explicit working_directories(const std::string& temp, int seconds = 15) {
        std::time_t now = std::time(nullptr);
        for (int i = 0; i < seconds; ++i) {
            paths_.push_back(temp + "ZELT" + std::to_string(static_cast<int>(now + i)) + "\\");
            if (!::CreateDirectoryA(paths_.back().c_str(), nullptr))
                throw std::runtime_error("cannot create " + paths_.back());
        }
    }
    ~working_directories() {
        for (const std::string& path : paths_) {
            ::DeleteFileA((path + "probe.exe").c_str());
            ::RemoveDirectoryA(path.c_str());
        }
    }
    const std::vector<std::string>& paths() const { return paths_; }

private:
    std::vector<std::string> paths_;
};

// Runs the installer with "/s" in processes whose files cannot grow beyond
// `limit_kib` KiB, as on a disk that fills up: bash sets the limit (writes
// beyond it fail instead of raising a signal) and starts the installer under
// Wine through with_temp, which gives it the private temporary directory.
// Wine gives no handle for a Unix process, so bash writes the exit status
// (the low 8 bits of the exit code) to a file that is awaited. -1 when none
// came.
int run_with_file_size_limit(installer_fixture& f, const std::string& installer, unsigned limit_kib) {
    const std::string status_file = f.work() + "status.txt";
    const std::string temp = f.temp().substr(0, f.temp().size() - 1);
    std::string command = "Z:\\bin\\bash -c \"trap '' XFSZ; ulimit -f " + std::to_string(limit_kib) + "; wine '" +
                          unix_path(process_test::bin_dir() + "with_temp.exe") + "' '" + temp + "' '" + installer +
                          "' /s; echo $? > '" + unix_path(f.work()) + "/status.txt'\"";
    std::string block;
    char* inherited = ::GetEnvironmentStringsA();
    for (const char* p = inherited; *p; p += std::strlen(p) + 1) block += std::string(p) + '\0';
    ::FreeEnvironmentStringsA(inherited);
    block += "PROBE_REPORT=" + f.report_path() + '\0' + "PROBE_EXIT=" + std::to_string(probe_exit) + '\0' + '\0';
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!test_support::start_process([&] {
            return ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, block.data(), nullptr,
                                    &startup, &process);
        }))
        return -1;
    if (process.hProcess) ::CloseHandle(process.hProcess);
    if (process.hThread) ::CloseHandle(process.hThread);
    for (int waited = 0; waited < 60000; waited += 50) {
        std::string status = process_test::read_all(status_file);
        if (!status.empty() && status.back() == '\n') {
            ::DeleteFileA(status_file.c_str());
            return std::atoi(status.c_str());
        }
        ::Sleep(50);
    }
    return -1;
}

}  // namespace

TEST(Fault, PayloadFileLockedByAnotherProcessEndsWithOne) {
    installer_fixture f("locked");
    std::string installer = f.pack(values);
    {
        working_directories prepared(f.temp());
        // A scanner holding the payload's file open without sharing, in
        // every working directory the run may take.
        std::vector<corvid::unique_file> held;
        for (const std::string& dir : prepared.paths()) {
            held.emplace_back(::CreateFileA((dir + "probe.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held.back()) << dir;
        }
        auto result = f.run(installer, "/s", probe_exit);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, 1u);
        EXPECT_TRUE(f.report().empty()) << "the payload started";
        EXPECT_EQ(launches_logged(f), 0) << "the run went on to a launch";
        // Nothing was written beside the locked file.
        for (const std::string& dir : prepared.paths())
            EXPECT_EQ(names_in(dir), std::vector<std::string>{"probe.exe"}) << dir;
    }
    expect_only_logs(f.temp_entries());
}

TEST(Fault, DiskFullDuringExtractionEndsWithOneAndRemovesTheWorkingDirectory) {
    installer_fixture f("diskfull");
    std::string installer = f.pack(values);
    const std::size_t payload = process_test::read_all(process_test::bin_dir() + "probe.exe").size();
    const unsigned limit_kib = 256;
    ASSERT_GT(payload, limit_kib * 1024u * 2) << "the payload must not fit";

    // The limit holds: the same run without it starts the payload.
    EXPECT_EQ(run_with_file_size_limit(f, installer, 4 * 1024 * 1024), static_cast<int>(probe_exit));
    EXPECT_FALSE(f.report().empty()) << "the payload did not run without the limit";
    ::DeleteFileA(f.report_path().c_str());

    ASSERT_EQ(launches_logged(f), 1);

    // Extraction itself fails: the run never goes on to launch the partial
    // file (which would fail to start, too, with the same exit code).
    EXPECT_EQ(run_with_file_size_limit(f, installer, limit_kib), 1);
    EXPECT_TRUE(f.report().empty()) << "the payload started";
    EXPECT_EQ(launches_logged(f), 1) << "the run went on to launch a partial payload";
    expect_only_logs(f.temp_entries());
}

TEST(Fault, LogFileLockedByAnotherProcessDoesNotStopTheRun) {
    installer_fixture f("lockedlog");
    std::string installer = f.pack(values);
    {
        corvid::unique_file held(::CreateFileA((f.temp() + "Keelson.log.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        auto result = f.run(installer, "/s", probe_exit);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, probe_exit);
        EXPECT_FALSE(f.report().empty()) << "the payload did not run";
    }
    expect_only_logs(f.temp_entries());
}

TEST(Paths, TemporaryDirectoryTheCodePageCannotName) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test needs a Western ANSI code page";
    installer_fixture f("cyrillic");
    std::string installer = f.pack(values);
    // A user profile named "Пользователь".
    const std::wstring temp = to_wide(f.temp(), 0) +
                              L"\x041F\x043E\x043B\x044C\x0437\x043E\x0432\x0430\x0442\x0435\x043B\x044C\\";
    ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
    const std::wstring temp_no_slash = temp.substr(0, temp.size() - 1);

    auto result = process_test::run_process_w(L"\"" + to_wide(installer, 0) + L"\" /s",
                                              {{L"TEMP", temp_no_slash},
                                               {L"TMP", temp_no_slash},
                                               {L"PROBE_REPORT", to_wide(f.report_path(), 0)},
                                               {L"PROBE_EXIT", std::to_wstring(probe_exit)}});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, probe_exit);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";
    // Started from its working folder in the temporary directory, named
    // exactly.
    EXPECT_EQ(report["wpath"].rfind(corvid::unicode::to_utf8(temp) + "ZELT", 0), 0u) << report["wpath"];
    // The run's log lies in that directory, and nothing else stayed there.
    std::vector<std::wstring> left = names_in(temp);
    EXPECT_NE(std::find(left.begin(), left.end(), L"Keelson.log.txt"), left.end());
    for (const std::wstring& name : left)
        EXPECT_TRUE(is_log(to_narrow(name, 0, false))) << "left: " << to_narrow(name, 0, false);
    for (const std::wstring& name : left) ::DeleteFileW((temp + name).c_str());
    ::RemoveDirectoryW(temp.c_str());
}

TEST(Paths, InstallerInAFolderWithBlanksAndAccentedLetters) {
    installer_fixture f("accents");
    std::string installer = f.pack(values);
    // "Téléchargements Ünï (2)": blanks and letters of the ANSI code page.
    const std::string folder = f.work() + "T\xE9l\xE9" "chargements \xDCn\xEF (2)\\";
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    const std::string copy = folder + "Tarnwick Setup \xE9t\xE9.exe";
    ASSERT_TRUE(::CopyFileA(installer.c_str(), copy.c_str(), FALSE));

    auto result = f.run(copy, "/s", probe_exit);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, probe_exit);
    EXPECT_FALSE(f.report().empty()) << "the payload did not run";
    expect_only_logs(f.temp_entries());
    ::DeleteFileA(copy.c_str());
    ::RemoveDirectoryA(folder.c_str());
}

// The installer's own path as the system gives it in UTF-16: in a folder and
// under a file name outside the ANSI code page, and in a full-width
// look-alike folder, each beside the installer that its best-fit narrow
// name would open, every installer runs its own archive.
TEST(Paths, InstallersNamedOutsideTheCodePageRunThemselves) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test needs a Western ANSI code page";
    installer_fixture f("wide_paths");
    const std::string genuine = f.pack({{"parameters", "GENUINE=1"}});
    const std::string other = f.pack({{"parameters", "PLANTED=1"}}, "other.exe");
    const std::wstring work = to_wide(f.work(), 0);
    const struct {
        std::wstring path, best_fit;
    } cases[] = {
        {L"\u0141ukasz\\setup.exe", L"Lukasz\\setup.exe"},
        {L"instalacja-\u0141\u00F3d\u017A.exe", L"instalacja-L\u00F3dz.exe"},
        {L"\uFF45\uFF56\uFF49\uFF4C\\setup.exe", L"evil\\setup.exe"},
    };
    for (const auto& c : cases) {
        for (const auto& [path, from] : {std::pair(c.path, genuine), std::pair(c.best_fit, other)}) {
            const std::wstring full = work + path;
            ::CreateDirectoryW(full.substr(0, full.rfind(L'\\')).c_str(), nullptr);
            ASSERT_TRUE(::CopyFileW(to_wide(from, 0).c_str(), full.c_str(), FALSE));
        }
        ::DeleteFileA(f.report_path().c_str());
        auto result = f.run_w(work + c.path, L"/s", probe_exit);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, probe_exit) << to_narrow(c.path, 0, false);
        const std::string command_line = f.report()["commandline"];
        EXPECT_NE(command_line.find("GENUINE=1"), std::string::npos) << command_line;
    }
    expect_only_logs(f.temp_entries());
}

// Wine cannot start a program from a path beyond 260 characters at all
// (CreateProcessW fails, with or without the "\\?\" prefix), so the part of
// such a start that the bootstrapper owns is taken on its own: its own path,
// however long, handed to extraction.
TEST(Paths, ArchiveAtAPathLongerThan260CharactersIsExtracted) {
    installer_fixture f("longpath");
    std::string installer = f.pack(values);
    std::string folder = f.work();
    std::vector<std::string> created;
    while (folder.size() < 300) {
        folder += std::string(60, 'd') + std::to_string(created.size()) + "\\";
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + to_wide(folder, 0)).c_str(), nullptr));
        created.push_back(folder);
    }
    const std::string copy = folder + "setup.exe";
    ASSERT_GT(copy.size(), 260u);
    ASSERT_TRUE(::CopyFileW(to_wide(installer, 0).c_str(), (L"\\\\?\\" + to_wide(copy, 0)).c_str(), FALSE));

    archive::working_directory = f.temp();
    archive::archive_complete = false;
    archive::extract_archive(copy);
    EXPECT_TRUE(archive::archive_complete);
    EXPECT_TRUE(process_test::read_all(f.temp() + "probe.exe") ==
                process_test::read_all(process_test::bin_dir() + "probe.exe"))
        << "the payload was not extracted intact";
    EXPECT_EQ(archive::process_entries().lookup_or_create("installer32"), "probe.exe");

    ::DeleteFileA((f.temp() + "probe.exe").c_str());
    ::DeleteFileW((L"\\\\?\\" + to_wide(copy, 0)).c_str());
    for (auto it = created.rbegin(); it != created.rend(); ++it)
        ::RemoveDirectoryW((L"\\\\?\\" + to_wide(*it, 0)).c_str());
}
