// Another process of the user against the elevated run: it may write, rename
// and link anywhere in %TEMP%, take the log's lock, or read the payload.
#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/unicode/convert.hpp"
#include "tests/process/harness.hpp"

// After the Windows headers it needs.
#include <shellapi.h>

using process_test::installer_fixture;
using process_test::read_all;
using process_test::write_all;
using test_support::names_in;

namespace {

const std::uint32_t code = 11;
const std::vector<std::pair<std::string, std::string>> values = {{"msilog", "ON"}, {"parameters", "/V\"A=1 \""}};

void expect_no_working_folder_in(const std::string& folder) {
    for (const std::string& name : names_in(folder)) EXPECT_NE(name.rfind("ZELT", 0), 0u) << "left: " << folder << name;
}

// A read-only file of the user's outside %TEMP%, in `outside`.
std::string read_only_file(const test_support::scratch_dir& outside, const std::string& name) {
    write_all(outside.path() + name, "keep me");
    ::SetFileAttributesA((outside.path() + name).c_str(), FILE_ATTRIBUTE_READONLY);
    return outside.path() + name;
}

bool unchanged(const std::string& file) {
    const bool read_only = ::GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY;
    ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    return read_only && read_all(file) == "keep me";
}

}  // namespace

// %TEMP% is reached through a link of the user's. Once the run has made its
// folder, the link is turned to a folder where the same name holds another
// program, while the run waits for its log's lock (held for less than it
// waits). The run starts its own payload and cleans up only its own folder.
TEST(Attacker, LinkInTheTemporaryPathRetargetedWhileTheRunWaits) {
    installer_fixture f("retarget");
    const std::string installer = f.pack(values);
    const std::string real = f.temp() + "real\\", other = f.temp() + "other\\", link = f.temp() + "t";
    ASSERT_TRUE(::CreateDirectoryA(real.c_str(), nullptr) && ::CreateDirectoryA(other.c_str(), nullptr));
    const std::string unix_link = test_support::unix_path(link);
    test_support::run_unix_shell("ln -s real '" + unix_link + "'");
    if (!test_support::exists(link + "\\")) GTEST_SKIP() << "needs Wine's Unix side to make links";
    // A log that is there already is opened without its lock.
    write_all(real + "Keelson.log.txt", "\xEF\xBB\xBF");
    corvid::real_mutex lock(corvid::log::file_lock_name(link + "\\Keelson"));
    lock.lock();
    process_test::started result;
    std::thread run([&] { result = f.run(installer, "/s", code, {{"TEMP", link}, {"TMP", link}}); });
    std::string name;
    for (int i = 0; i < 1200 && name.empty(); ++i, ::Sleep(25))
        for (const std::string& entry : names_in(real))
            if (entry.rfind("ZELT", 0) == 0) name = entry;
    const std::string planted = other + name + "\\";
    if (!name.empty() && ::CreateDirectoryA(planted.c_str(), nullptr)) {
        ::CopyFileA((process_test::bin_dir() + "probe.exe").c_str(), (planted + "probe.exe").c_str(), FALSE);
        write_all(planted + "precious.txt", "keep me");
        test_support::run_unix_shell("ln -sfn other '" + unix_link + "'");
    }
    const bool paused = f.report().empty() && read_all(link + "\\" + name + "\\precious.txt") == "keep me";
    lock.unlock();
    run.join();
    ASSERT_TRUE(paused) << "the link was not retargeted while the run waited: the test proves nothing";

    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, code);
    auto report = f.report();
    EXPECT_EQ(report["path"], real + name + "\\probe.exe");
    EXPECT_NE(report["commandline"].find("\\\"" + real + "KAVRO_msi.log.txt\\\""), std::string::npos);
    EXPECT_EQ(names_in(planted), (std::vector<std::string>{"precious.txt", "probe.exe"}));
    expect_no_working_folder_in(real);
    test_support::run_unix_shell("rm -f '" + unix_link + "'");
}

// The run's log and the verbose MSI log planted as hard links to files of the
// user's: the run writes to neither, changes no attribute, and installs.
TEST(Attacker, LogsPlantedAsHardLinks) {
    installer_fixture f("hardlogs");
    test_support::scratch_dir outside("outside");
    const std::string notes = outside.path() + "notes.txt", settings = read_only_file(outside, "settings.ini");
    write_all(notes, "keep me");
    ASSERT_TRUE(::CreateHardLinkA((f.temp() + "Keelson.log.txt").c_str(), notes.c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkA((f.temp() + "KAVRO_msi.log.txt").c_str(), settings.c_str(), nullptr));
    auto result = f.run(f.pack(values), "/s", code);
    EXPECT_EQ(result.exit_code, code);
    EXPECT_FALSE(f.report().empty()) << "the payload did not run";
    EXPECT_EQ(read_all(notes), "keep me");
    EXPECT_TRUE(unchanged(settings));
    expect_no_working_folder_in(f.temp());
}

// Working folders made in advance, holding a hard link to a read-only file:
// removing the link would take clearing the attribute it shares with that
// file, which keeps it; without a fresh folder nothing is started.
TEST(Attacker, PreCreatedFolderHoldingAHardLinkToAReadOnlyFile) {
    installer_fixture f("prelink");
    test_support::scratch_dir outside("outside");
    const std::string target = read_only_file(outside, "system.ini");
    for (std::time_t second = std::time(nullptr), last = second + 10; second < last; ++second) {
        const std::string dir = f.temp() + "ZELT" + std::to_string(static_cast<int>(second)) + "\\";
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
        ASSERT_TRUE(::CreateHardLinkA((dir + "version.dll").c_str(), target.c_str(), nullptr));
    }
    auto result = f.run(f.pack(values), "/s", code);
    EXPECT_TRUE(unchanged(target));
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload ran";
}

// Any process may create the log's lock and keep it: the run waits a few
// seconds, then writes its lines all the same and ends as usual.
TEST(Attacker, LogLockHeldForEver) {
    installer_fixture f("heldlock");
    const std::string installer = f.pack(values);
    // A log of earlier runs: opening it takes no lock, its first line does.
    write_all(f.temp() + "Keelson.log.txt", "\xEF\xBB\xBF");
    corvid::real_mutex lock(corvid::log::file_lock_name(f.temp() + "Keelson"));
    lock.lock();
    auto result = f.run(installer, "/s", code);
    lock.unlock();
    ASSERT_TRUE(result.finished) << "the run waited for the log's lock until it was killed";
    EXPECT_EQ(result.exit_code, code);
    const std::string log = read_all(f.temp() + "Keelson.log.txt");
    EXPECT_NE(log.find("File: "), std::string::npos);
    // Only one line waits for the lock: the others follow it at once (their
    // stamps, "YYYY/MM/DD hh:mm:ss", a second or so apart at most, where a
    // wait at each line would put seconds between every two).
    std::vector<int> seconds;
    for (std::size_t at = log.find("\r\n"); at != std::string::npos && at + 21 < log.size(); at = log.find("\r\n", at + 2))
        seconds.push_back(std::stoi(log.substr(at + 13, 2)) * 3600 + std::stoi(log.substr(at + 16, 2)) * 60 +
                          std::stoi(log.substr(at + 19, 2)));
    ASSERT_GE(seconds.size(), 3u) << log;
    EXPECT_LE((seconds.back() - seconds.front() + 86400) % 86400, 2) << log;
}

// A scanner opens the payload as the run ends and keeps it without delete
// sharing: for a few seconds the clean-up waits it out; for longer, what it
// holds is left to be deleted at the next restart. The exit code stays.
TEST(Attacker, PayloadHeldByAScannerAtTheCleanUp) {
    const wchar_t key[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    auto pending = [&] {
        std::wstring text(32768, L'\0');
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr,
                           text.data(), &bytes) != ERROR_SUCCESS)
            bytes = 0;
        text.resize(bytes / sizeof(wchar_t));
        return text;
    };
    for (DWORD held_ms : {3000, 9000}) {
        installer_fixture f("scanner");
        const std::wstring before = pending();
        bool opened = false;
        std::thread scanner([&] {
            for (int i = 0; i < 2400 && f.report()["path"].empty(); ++i) ::Sleep(25);
            corvid::unique_file file(::CreateFileA(f.report()["path"].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            opened = static_cast<bool>(file);
            ::Sleep(held_ms);
        });
        auto result = f.run(f.pack(values), "/s", code, {{"PROBE_SLEEP_MS", "300"}});
        scanner.join();
        ASSERT_TRUE(opened) << "the scanner could not open the payload";
        EXPECT_EQ(result.exit_code, code) << held_ms;
        const std::wstring after = pending();
        if (held_ms == 3000) {
            expect_no_working_folder_in(f.temp());
            EXPECT_EQ(after, before);
            continue;
        }
        // The payload, then its folder; the registry is then put back.
        const std::string path = f.report()["path"], folder = path.substr(0, path.rfind('\\'));
        const std::wstring scheduled = L"\\??\\" + std::wstring(path.begin(), path.end()) + L'\0' + L'\0' + L"\\??\\" +
                                       std::wstring(folder.begin(), folder.end()) + L'\0';
        EXPECT_NE(after.find(scheduled), std::wstring::npos);
        EXPECT_NE(read_all(f.temp() + "Keelson.log.txt").find("to be deleted at the next restart"), std::string::npos);
        if (before.empty())
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations");
        else
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", REG_MULTI_SZ, before.c_str(),
                              static_cast<DWORD>(before.size() * sizeof(wchar_t)));
    }
}

namespace {

// Keys of HKLM\Software\Classes set for as long as the object lives; those
// that were not there before are deleted again.
struct machine_classes {
    std::vector<std::string> made;
    void set(const std::string& key, const std::string& value) {
        const std::string path = "Software\\Classes\\" + key;
        HKEY existing = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &existing) == ERROR_SUCCESS)
            ::RegCloseKey(existing);
        else
            made.insert(made.begin(), path);
        ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, REG_SZ, value.c_str(),
                          static_cast<DWORD>(value.size() + 1));
    }
    ~machine_classes() {
        for (const std::string& path : made) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    }
};

}  // namespace

// What a process of the user registers or plants for programs, against a
// setup that loads an optional library and starts "msiexec.exe" by bare
// names. A handler registered for programs is loaded by the shell into
// whoever asks it to start one; on Windows the user's own classes
// (HKCU\Software\Classes) are merged over the machine's, for elevated
// processes too (Wine does not merge them: the machine's classes stand in
// here). A library and a program planted in %TEMP% are found by a search of
// the current directory. The run starts its payload without the shell, from
// a directory only administrators can write: none of it is taken.
TEST(Attacker, WhatTheUserRegistersOrPlantsForProgramsIsNeverTaken) {
    installer_fixture f("classes");
    const std::string installer = f.pack(values);
    const std::string planted = process_test::bin_dir() + "..\\planted-process\\tarnwick_opt.dll";
    const std::string handler = f.work() + "handler.dll", marker = f.work() + "loads.txt";
    ASSERT_TRUE(::CopyFileA(planted.c_str(), handler.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileA(planted.c_str(), (f.temp() + "tarnwick_opt.dll").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "probe.exe").c_str(), (f.temp() + "msiexec.exe").c_str(), FALSE));
    const std::string clsid = "{5F0E3C1A-7B2D-4E8F-9A61-2C4D8B7E1F30}";
    machine_classes classes;
    classes.set(".exe", "exefile");
    classes.set("exefile\\shellex\\ContextMenuHandlers\\" + clsid, "");
    classes.set("CLSID\\" + clsid + "\\InprocServer32", handler);

    auto result = f.run(installer, "/s", code,
                        {{"PLANTED_MARKER", marker},
                         {"PROBE_LOAD", "tarnwick_opt.dll"},
                         {"PROBE_START", "msiexec.exe /x {00000000-0000-0000-0000-000000000000} /qn"}});
    EXPECT_EQ(result.exit_code, code);
    auto report = f.report();
    ASSERT_FALSE(report.empty()) << "the payload did not run";
    EXPECT_EQ(read_all(marker), "") << "a class handler or the planted library was loaded";
    EXPECT_EQ(report["loaded"], "none");
    // The system's msiexec ran: the planted copy of the probe would have
    // exited with the probe's code and reported itself.
    EXPECT_NE(report["started"], "none");
    EXPECT_NE(report["started"], std::to_string(code));
    EXPECT_EQ(read_all(f.report_path()).find("\ncommandline="), std::string::npos) << "the planted program ran";

    // The shell's own start of a program takes the handler: the test can tell.
    ::SetEnvironmentVariableA("PLANTED_MARKER", marker.c_str());
    const std::wstring probe = corvid::unicode::to_wide(process_test::bin_dir() + "probe.exe", CP_ACP);
    SHELLEXECUTEINFOW record{};
    record.cbSize = sizeof(record);
    record.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    record.lpVerb = L"open";
    record.lpFile = probe.c_str();
    record.nShow = SW_HIDE;
    const bool started = ::ShellExecuteExW(&record);
    ::SetEnvironmentVariableA("PLANTED_MARKER", nullptr);
    ASSERT_TRUE(started);
    corvid::unique_handle process(record.hProcess);
    ::WaitForSingleObject(process.get(), 30000);
    EXPECT_NE(read_all(marker).find("handler.dll"), std::string::npos) << "the shell loaded no handler: the test cannot tell";
}
