// The bootstrapper as a user runs it: real installers packed around the
// probe payload, started as processes under a private TEMP.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <regex>

#include "corvid/handle.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <tlhelp32.h>

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

// The payload starts as itself with the composed parameters, and finds its
// files as in a plain folder: it rewrites, deletes and renames the ones it
// brought along, and nothing of the run's stands in its way.
TEST(Run, PayloadStartsAsItselfWithTheComposedParameters) {
    installer_fixture f("params");
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* name : {"companion.txt", "doomed.txt", "moved.txt"}) {
        process_test::write_all(f.work() + name, name);
        files.emplace_back(name, f.work() + name);
    }
    std::string installer = f.pack(shipped_values, "setup.exe", "bootstrapper.exe", files);
    auto result = f.run(installer, "/s", 0, {{"PROBE_COMPANIONS", "1"}});
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exit_code, 0u);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";

    const std::string temp = no_slash(f.temp());
    // Its own quoted path, one blank, the parameters: as a shell's start
    // would have given it.
    EXPECT_EQ(report["wcommandline"], "\"" + report["wpath"] + "\" /s /V\"/l*v \\\"" + temp +
                                          "\\KAVRO_msi.log.txt\\\"  TARNWICKPROP=1 WEBINSTALLER=1 \"");
    // Its current directory is one that only administrators can write, and
    // it searches none for the programs it starts by bare name.
    char system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(report["cwd"], std::string(system, length));
    EXPECT_EQ(report["nodefaultcwd"], "1");
    EXPECT_EQ(report["companions"], "ok");
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

// Setup files named outside ASCII in the installer's code page extract under
// their real names, and the payload starts by its own. Each pair of names
// runs where the ANSI code page holds it: the Western one here, the Japanese
// one in a prefix of code page 932, where the second byte of 表 (0x95 0x5C)
// is a backslash's.
TEST(Run, FilesNamedOutsideAsciiExtractAndStartUnderTheirNames) {
    if (const char* required = std::getenv("CORVID_REQUIRE_ACP")) {
        ASSERT_EQ(::GetACP(), std::strtoul(required, nullptr, 10)) << "the prefix has another code page";
    }
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"Setup_Fran\u00E7ais.exe", L"Donn\u00E9es \u00E9t\u00E9.txt"},
        {L"\u8868\u793A.exe", L"\u8868.txt"},
    };
    int ran = 0;
    // Only names that the code page holds exactly (no look-alike).
    auto exactly = [](const wchar_t* text, std::string& narrow) {
            BOOL lossy = FALSE;
            char buffer[MAX_PATH];
            const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, buffer, MAX_PATH, nullptr, &lossy);
            narrow.assign(buffer, n > 0 ? n - 1 : 0);
            return n > 0 && !lossy;
    };
    for (const auto& [payload_name, companion_name] : cases) {
        std::string payload, companion;
        if (!exactly(payload_name, payload) || !exactly(companion_name, companion)) continue;
        ++ran;
        installer_fixture f("names");
        ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "probe.exe").c_str(), (f.work() + payload).c_str(), FALSE));
        process_test::write_all(f.work() + companion, "companion");
        const std::string installer =
            f.pack_raw({"--value", "executable32=%installer32%", "--file", "installer32=" + f.work() + payload,
                        "--file", "readme=" + f.work() + companion},
                       "setup.exe");
        auto result = f.run(installer, "/s", 7);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, 7u) << payload;
        auto report = f.report();
        EXPECT_EQ(report["wpath"].substr(report["wpath"].rfind('\\') + 1), corvid::unicode::to_utf8(payload_name));
        EXPECT_EQ(report["folder"], std::min(payload, companion) + "|" + std::max(payload, companion));
        EXPECT_FALSE(has_working_directory(f.temp_entries()));
    }
    EXPECT_GT(ran, 0) << "no case fits the code page " << ::GetACP();
}

// Text outside the ANSI code page reaches the payload exactly: no letter is
// mapped to a look-alike, no full-width quote becomes a quote (and the text
// after it a switch). Text that is no UTF-16 at all is refused.
TEST(Run, CommandLineTextOutsideTheCodePageIsPassedOnExactly) {
    installer_fixture f("wide_args");
    const std::string installer = f.pack({{"parameters", "/V\"X=1 \""}});
    const struct {
        std::wstring arguments;
        const char* parameters;  // UTF-8; null: refused
    } cases[] = {
        {L"/s /V\"INSTALLDIR=C:\\\u0141\u00F3d\u017A\\Tarnwick\"", "/s  /V\"INSTALLDIR=C:\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\Tarnwick X=1 \""},
        {L"/s /V\"A=\uFF02 /evil \uFF02\"", "/s  /V\"A=\xEF\xBC\x82 /evil \xEF\xBC\x82 X=1 \""},
        {L"/s \u0417\u0430\u043F\u0443\u0441\u043A", "/s \xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA /V\" X=1 \""},
        {L"/s /V\"A=\xD800\"", nullptr},
    };
    for (const auto& c : cases) {
        ::DeleteFileA(f.report_path().c_str());
        auto result = f.run_w(corvid::unicode::to_wide(installer, CP_ACP), c.arguments, 7);
        ASSERT_TRUE(result.finished);
        auto report = f.report();
        if (!c.parameters) {
            EXPECT_EQ(result.exit_code, 1u);
            EXPECT_TRUE(report.empty()) << "started with a changed command line";
            continue;
        }
        EXPECT_EQ(result.exit_code, 7u);
        EXPECT_EQ(parameters_of(report["wcommandline"]), c.parameters);
    }
}

// Paused at its log by another process that holds the log's mutex, the run
// has its file open already: it can be neither renamed nor written, and the
// archive read is the one that was started.
TEST(Run, InstallerReplacedUnderItsNameAfterTheStartIsNeverRead) {
    installer_fixture f("replaced");
    const std::string installer = f.pack({{"parameters", "GENUINE=1"}});
    const std::string other = f.pack({{"parameters", "PLANTED=1"}}, "other.exe");
    corvid::unique_handle log_lock(
        ::CreateMutexA(nullptr, TRUE, ("Global\\" + corvid::log::file_lock_name(f.temp() + "Keelson")).c_str()));
    ASSERT_TRUE(log_lock);
    process_test::started result;
    std::thread run([&] { result = f.run(installer, "/s", 7); });
    for (int i = 0; i < 400 && ::GetFileAttributesA((f.temp() + "Keelson.log.txt").c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i)
        ::Sleep(25);
    const bool renamed = ::MoveFileA(installer.c_str(), (installer + ".old").c_str()) &&
                         ::CopyFileA(other.c_str(), installer.c_str(), FALSE);
    const bool overwritten = !renamed && ::CopyFileA(other.c_str(), installer.c_str(), FALSE);
    ::ReleaseMutex(log_lock.get());
    run.join();
    EXPECT_FALSE(renamed || overwritten) << "the running installer's file could be replaced";
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(parameters_of(f.report()["commandline"]), "/s GENUINE=1/V\"\"") << "another archive was read";
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

// A file to start that is missing, or that is no program (a script that the
// shell would have run through its interpreter): nothing is started.
TEST(Run, PayloadThatCannotBeStartedEndsWithOne) {
    installer_fixture f("nostart");
    const std::string script = f.work() + "setup.cmd";
    process_test::write_all(script, "@echo commandline=started>\"%PROBE_REPORT%\"\r\n");
    for (const std::string& installer :
         {f.pack({{"executable32", "missing.exe"}}),
          f.pack_raw({"--value", "executable32=%installer32%", "--file", "installer32=" + script}, "script.exe")}) {
        auto result = f.run(installer, "/s");
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, 1u) << installer;
        EXPECT_TRUE(f.report().empty()) << installer;
        EXPECT_FALSE(has_working_directory(f.temp_entries()));
    }
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

namespace {

// The probe's own hash of its file (see probe.cpp).
std::string fnv_hash(const std::string& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// Whether a process of the probe's name runs.
bool probe_process_exists() {
    corvid::unique_file processes(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = processes && ::Process32First(processes.get(), &entry); more;
         more = ::Process32Next(processes.get(), &entry))
        if (_stricmp(entry.szExeFile, "probe.exe") == 0) return true;
    return false;
}

// Another process of the user, trying again and again to overwrite, rename
// and delete the payload in any working folder under `temp`, until the
// payload has started: from then on its files are its own, as in a plain
// folder. A success counts only when no payload ran yet after it (the run
// lets go of its files once the payload's process exists, so a success seen
// with no such process fell before that). Counts the attempts made on an
// existing payload and what succeeded.
struct payload_attacker {
    std::string temp;
    std::atomic<bool> stop{false};
    int attempts = 0;
    std::vector<std::string> successes;
    // Something succeeded once the payload ran (where no access list keeps
    // the user out, as under Wine): what the payload reports of its own file
    // then tells nothing.
    bool late = false;

    void succeeded(const char* what) {
        if (!probe_process_exists()) {
            successes.push_back(what);
        } else {
            late = true;
            stop = true;
        }
    }

    void run() {
        while (!stop && !probe_process_exists()) {
            WIN32_FIND_DATAA entry;
            corvid::unique_find listing(::FindFirstFileA((temp + "ZELT*").c_str(), &entry));
            if (!listing) continue;
            do {
                const std::string payload = temp + entry.cFileName + "\\probe.exe";
                if (::GetFileAttributesA(payload.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
                ++attempts;
                corvid::unique_file writer(::CreateFileA(payload.c_str(), GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (writer) {
                    DWORD written = 0;
                    if (::WriteFile(writer.get(), "EVIL", 4, &written, nullptr) && written == 4) {
                        succeeded("overwritten");
                        // Still open while the run takes its read-only hold:
                        // that hold must then fail and nothing be started.
                        ::Sleep(300);
                    }
                }
                writer.reset();
                if (::MoveFileExA(payload.c_str(), (payload + ".moved").c_str(), 0)) succeeded("renamed");
                if (::DeleteFileA(payload.c_str())) succeeded("deleted");
            } while (!stop && ::FindNextFileA(listing.get(), &entry));
        }
    }
};

}  // namespace

// The payload is checked while it is extracted and then started: in between,
// nobody may change, rename or delete it.
TEST(Run, PayloadCannotBeSwappedBeforeItStarts) {
    installer_fixture f("swap");
    // Extracted after the payload, so that the attacker has the time between
    // the payload's extraction and its start.
    const std::string padding = f.work() + "padding.bin";
    process_test::write_all(padding, std::string(48 << 20, 'p'));
    std::string installer = f.pack(shipped_values, "setup.exe", "bootstrapper.exe", {{"padding", padding}});
    const std::string intact = fnv_hash(process_test::read_all(process_test::bin_dir() + "probe.exe"));
    int started = 0;
    const DWORD begin = ::GetTickCount();
    for (int round = 0; round < 6 && ::GetTickCount() - begin < 20000; ++round) {
        ::DeleteFileA(f.report_path().c_str());
        payload_attacker attacker;
        attacker.temp = f.temp();
        std::thread thread([&] { attacker.run(); });
        auto result = f.run(installer, "/s", 7);
        attacker.stop = true;
        thread.join();
        ASSERT_TRUE(result.finished);
        // Renaming and deleting are refused throughout. A write can only land
        // in the moment the finished file's writing handle is handed over to
        // the read-only hold (where no access list keeps the user out, as
        // under Wine); the hold then fails and nothing is started.
        for (const std::string& success : attacker.successes) {
            EXPECT_EQ(success, "overwritten") << "round " << round;
            EXPECT_EQ(result.exit_code, 1u) << "round " << round << ": started after the payload was written to";
        }
        EXPECT_GT(attacker.attempts, 0) << "round " << round << ": the attacker never saw the payload";
        auto report = f.report();
        if (result.exit_code == 7) {
            ++started;
            if (!attacker.late) {
                EXPECT_EQ(report["image"], intact) << "round " << round << ": a changed payload was started";
                EXPECT_EQ(report["folder"], "padding.bin|probe.exe");
            }
        } else {
            // An open for writing slipped in while the extracted file was
            // handed over to its read-only handle: then nothing is started.
            EXPECT_EQ(result.exit_code, 1u);
            EXPECT_TRUE(report.empty()) << "round " << round;
        }
        for (const std::string& name : f.temp_entries()) {
            if (name.rfind("ZELT", 0) != 0) continue;
            // The attacker still held the file it wrote to while the run
            // cleaned up: a file open elsewhere stays, and so does its folder.
            EXPECT_FALSE(attacker.successes.empty()) << "left: " << name;
            corvid::remove_directory_tree(f.temp() + name);
        }
    }
    EXPECT_GT(started, 0) << "the payload never ran";
}

namespace {

// A drive letter of this Wine prefix that names a scratch folder, for as
// long as the object lives.
class scratch_drive {
public:
    explicit scratch_drive(const std::string& folder) {
        const std::string devices = test_support::unix_path("C:\\");  // .../dosdevices/c:/
        const std::string target = test_support::unix_path(folder);
        if (devices.size() < 4 || target.empty()) return;
        const DWORD used = ::GetLogicalDrives();
        for (char letter = 'Q'; letter <= 'Y'; ++letter) {
            if (used & (1u << (letter - 'A'))) continue;
            link_ = devices.substr(0, devices.size() - 3) + static_cast<char>(letter - 'A' + 'a') + ":";
            test_support::start_unix_program("Z:\\bin\\ln", "ln -s " + target + " " + link_);
            root_ = std::string(1, letter) + ":\\";
            for (int i = 0; i < 100 && ::GetFileAttributesA(root_.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
                ::Sleep(20);
            if (::GetFileAttributesA(root_.c_str()) == INVALID_FILE_ATTRIBUTES) root_.clear();
            return;
        }
    }
    ~scratch_drive() {
        if (!link_.empty()) test_support::start_unix_program("Z:\\bin\\rm", "rm -f " + link_);
    }
    const std::string& root() const { return root_; }  // "Q:\", empty when none could be made

private:
    std::string link_, root_;
};

}  // namespace

// %TEMP% at a drive root: the MSI log lies in the root itself, not in the
// drive's current directory, and the clean-up leaves and removes the working
// folder.
TEST(Run, TempAtADriveRoot) {
    installer_fixture f("droot");
    std::string installer = f.pack(shipped_values);
    test_support::scratch_dir folder("drive");
    scratch_drive drive(folder.path());
    if (drive.root().empty()) GTEST_SKIP() << "no drive letter can be made for a folder here";
    auto result = f.run(installer, "/s", 7, {{"TEMP", drive.root()}, {"TMP", drive.root()}});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 7u);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";
    EXPECT_EQ(report["path"].rfind(drive.root() + "ZELT", 0), 0u) << report["path"];
    EXPECT_NE(parameters_of(report["commandline"]).find("\\\"" + drive.root() + "KAVRO_msi.log.txt\\\""),
              std::string::npos)
        << report["commandline"];
    for (const std::string& name : test_support::names_in(folder.path()))
        EXPECT_TRUE(name.rfind("Keelson", 0) == 0) << "left: " << name;
}
