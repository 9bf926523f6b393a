// The elevated run against another process of the same user, which may
// write anywhere in %TEMP%: retarget a link on the way to it, plant links
// under the run's file names, create the working folder first, hold the
// log's lock for ever, or keep the payload open at the clean-up as a virus
// scanner does.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <thread>

#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/win32.hpp"
#include "tests/process/harness.hpp"

using process_test::installer_fixture;
using process_test::read_all;
using process_test::write_all;
using test_support::names_in;

namespace {

const std::uint32_t probe_exit = 11;
const std::vector<std::pair<std::string, std::string>> values = {{"msilog", "ON"}, {"parameters", "/V\"A=1 \""}};

bool is_working_folder(const std::string& name) { return name.rfind("ZELT", 0) == 0; }

// What the run leaves in a folder: its log, and no working folder.
void expect_nothing_of_the_run_in(const std::string& folder) {
    for (const std::string& name : names_in(folder)) EXPECT_FALSE(is_working_folder(name)) << "left: " << folder << name;
}

// Runs `body` when the test leaves its block, however it leaves it.
struct finally {
    std::function<void()> body;
    ~finally() { body(); }
};

}  // namespace

// %TEMP% is the user's to set, here through a link of theirs. Once the run
// has made its folder, the link is turned to a folder where the same name
// holds another program, while the run waits for its log's lock (held, as
// any process may hold it, for less than the run waits). The run starts its
// own payload and cleans up its own folder; the other folder is untouched.
TEST(Attacker, LinkInTheTemporaryPathRetargetedWhileTheRunWaits) {
    installer_fixture f("retarget");
    const std::string installer = f.pack(values);
    const std::string real = f.temp() + "real\\", other = f.temp() + "other\\", link = f.temp() + "t";
    ASSERT_TRUE(::CreateDirectoryA(real.c_str(), nullptr) && ::CreateDirectoryA(other.c_str(), nullptr));
    const std::string unix_link = test_support::unix_path(link);
    test_support::run_unix_shell("ln -s real '" + unix_link + "'");
    if (!test_support::exists(link + "\\")) GTEST_SKIP() << "needs Wine's Unix side to make links";
    // A log that is there already is opened without the lock: the run's
    // first wait for it comes with its launch lines.
    write_all(real + "Keelson.log.txt", "\xEF\xBB\xBF");

    corvid::real_mutex lock(corvid::log::file_lock_name(link + "\\Keelson"));
    lock.lock();
    process_test::started result;
    std::string name;
    {
        std::thread run([&] { result = f.run(installer, "/s", probe_exit, {{"TEMP", link}, {"TMP", link}}); });
        finally release{[&] {
            lock.unlock();
            run.join();
        }};
        for (int i = 0; i < 1200 && name.empty(); ++i, ::Sleep(25))
            for (const std::string& entry : names_in(real))
                if (is_working_folder(entry)) name = entry;
        ASSERT_FALSE(name.empty()) << "the run made no working folder";
        const std::string planted = other + name + "\\";
        ASSERT_TRUE(::CreateDirectoryA(planted.c_str(), nullptr));
        ASSERT_TRUE(
            ::CopyFileA((process_test::bin_dir() + "probe.exe").c_str(), (planted + "probe.exe").c_str(), FALSE));
        write_all(planted + "precious.txt", "keep me");
        test_support::run_unix_shell("ln -sfn other '" + unix_link + "'");
        ASSERT_EQ(read_all(link + "\\" + name + "\\precious.txt"), "keep me") << "the link was not retargeted";
        ASSERT_TRUE(f.report().empty()) << "the run went on before the link was retargeted: the test proves nothing";
    }

    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, probe_exit);
    auto report = f.report();
    EXPECT_EQ(report["path"], real + name + "\\probe.exe");
    EXPECT_EQ(report["cwd"], real.substr(0, real.size() - 1));
    EXPECT_NE(report["commandline"].find("\\\"" + real + "KAVRO_msi.log.txt\\\""), std::string::npos)
        << report["commandline"];
    EXPECT_EQ(names_in(other + name + "\\"), (std::vector<std::string>{"precious.txt", "probe.exe"}));
    expect_nothing_of_the_run_in(real);
    test_support::run_unix_shell("rm -f '" + unix_link + "'");
}

// Files of the user's elsewhere, planted under the names of the run's log and
// of the verbose MSI log as hard links: the elevated run writes to neither
// and changes no attribute, and still installs.
TEST(Attacker, LogsPlantedAsHardLinksLeaveTheFilesTheyShareAlone) {
    installer_fixture f("hardlogs");
    const std::string installer = f.pack(values);
    test_support::scratch_dir outside("outside");
    const std::string notes = outside.path() + "notes.txt", settings = outside.path() + "settings.ini";
    write_all(notes, "keep me");
    write_all(settings, "keep me too");
    ASSERT_TRUE(::SetFileAttributesA(settings.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::CreateHardLinkA((f.temp() + "Keelson.log.txt").c_str(), notes.c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkA((f.temp() + "KAVRO_msi.log.txt").c_str(), settings.c_str(), nullptr));

    auto result = f.run(installer, "/s", probe_exit);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, probe_exit);
    EXPECT_FALSE(f.report().empty()) << "the payload did not run";
    EXPECT_EQ(read_all(notes), "keep me");
    EXPECT_EQ(read_all(settings), "keep me too");
    EXPECT_TRUE(::GetFileAttributesA(settings.c_str()) & FILE_ATTRIBUTE_READONLY);
    expect_nothing_of_the_run_in(f.temp());
    ::SetFileAttributesA(settings.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A working folder made in advance for the next seconds, holding a hard link
// to a read-only file of the user's: removing the link would take clearing
// the attribute that it shares with that file, so the file keeps it, and
// without a fresh folder nothing is started.
TEST(Attacker, PreCreatedFolderWithAHardLinkToAReadOnlyFile) {
    installer_fixture f("prelink");
    const std::string installer = f.pack(values);
    test_support::scratch_dir outside("outside");
    const std::string target = outside.path() + "system.ini";
    write_all(target, "keep me");
    ASSERT_TRUE(::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::time_t now = std::time(nullptr);
    for (int i = 0; i < 10; ++i) {
        const std::string dir = f.temp() + "ZELT" + std::to_string(static_cast<int>(now + i)) + "\\";
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
        ASSERT_TRUE(::CreateHardLinkA((dir + "version.dll").c_str(), target.c_str(), nullptr));
    }

    auto result = f.run(installer, "/s", probe_exit);
    ASSERT_TRUE(result.finished);
    EXPECT_TRUE(::GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(read_all(target), "keep me");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload ran";
    ::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Any process may create the log's lock and keep it: the run waits a few
// seconds for it, then writes its lines all the same and ends as usual.
TEST(Attacker, LogLockHeldForEverDoesNotStopTheRun) {
    installer_fixture f("heldlock");
    const std::string installer = f.pack(values);
    corvid::real_mutex lock(corvid::log::file_lock_name(f.temp() + "Keelson"));
    lock.lock();
    auto result = f.run(installer, "/s", probe_exit);
    lock.unlock();
    ASSERT_TRUE(result.finished) << "the run waited for the log's lock until it was killed";
    EXPECT_EQ(result.exit_code, probe_exit);
    EXPECT_NE(read_all(f.temp() + "Keelson.log.txt").find("File: "), std::string::npos);
    expect_nothing_of_the_run_in(f.temp());
}

// A virus scanner opens the payload as the run ends and keeps it open for a
// few seconds without delete sharing: the clean-up waits for it, and nothing
// is left.
TEST(Attacker, PayloadHeldAtTheCleanUpIsRemovedOnceReleased) {
    installer_fixture f("scanner");
    const std::string installer = f.pack(values);
    bool held = false;
    std::thread scanner([&] {
        for (int i = 0; i < 2400 && f.report()["path"].empty(); ++i) ::Sleep(25);
        corvid::unique_file file(::CreateFileA(f.report()["path"].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        held = static_cast<bool>(file);
        ::Sleep(3000);
    });
    auto result = f.run(installer, "/s", probe_exit, {{"PROBE_SLEEP_MS", "300"}});
    scanner.join();
    ASSERT_TRUE(held) << "the scanner could not open the payload";
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, probe_exit);
    expect_nothing_of_the_run_in(f.temp());
}
