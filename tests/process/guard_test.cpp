// The machine-wide single-instance guard, seen from processes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "tests/process/harness.hpp"
#include "tests/support/start_process.hpp"

using process_test::installer_fixture;

namespace {

int count_lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += (c == '\n');
    return n;
}

}  // namespace

TEST(Guard, TenSimultaneousStartsRunExactlyOnePayload) {
    installer_fixture f("load");
    std::string installer = f.pack({{"parameters", "X=1"}});
    const std::string marker = f.temp() + "payload-starts.txt";
    const std::string temp = f.temp().substr(0, f.temp().size() - 1);

    // Build the environment once; start all ten before waiting for any.
    std::string block;
    for (const char* p = ::GetEnvironmentStringsA(); *p; p += std::strlen(p) + 1) {
        if (_strnicmp(p, "TEMP=", 5) == 0 || _strnicmp(p, "TMP=", 4) == 0) continue;
        block += std::string(p) + '\0';
    }
    block += "TEMP=" + temp + '\0' + "TMP=" + temp + '\0' + "PROBE_MARKER=" + marker + '\0' +
             "PROBE_SLEEP_MS=10000" + '\0' + "PROBE_EXIT=42" + '\0' + '\0';

    const int starts = 10;
    std::vector<corvid::unique_handle> processes;
    for (int i = 0; i < starts; ++i) {
        std::string cmd = "\"" + installer + "\" /s";
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(test_support::start_process([&] {
            return ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, block.data(), nullptr, &startup,
                                    &info);
        }));
        ::CloseHandle(info.hThread);
        processes.emplace_back(info.hProcess);
    }
    int payload_runs = 0, turned_away = 0, other = 0;
    for (auto& process : processes) {
        ASSERT_EQ(::WaitForSingleObject(process.get(), 120000), WAIT_OBJECT_0);
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        if (code == 42) ++payload_runs;
        else if (code == 1) ++turned_away;
        else ++other;
    }
    EXPECT_EQ(payload_runs, 1);
    EXPECT_EQ(turned_away, starts - 1);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(count_lines(process_test::read_all(marker)), 1);
    for (const std::string& name : f.temp_entries()) EXPECT_NE(name.rfind("ZELT", 0), 0u) << name;

    // Once the first installation has ended, a new start runs normally.
    auto again = f.run(installer, "/s", 43);
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(again.exit_code, 43u);
}

TEST(Guard, HeldGuardTurnsAStartAwayWithoutWorkingDirectory) {
    installer_fixture f("held");
    std::string installer = f.pack({});
    corvid::real_mutex guard("Quillmoor.Installation");
    ASSERT_TRUE(guard.lock(0));
    auto result = f.run(installer, "/s", 9);
    guard.unlock();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_TRUE(f.report().empty());
    for (const std::string& name : f.temp_entries()) EXPECT_NE(name.rfind("ZELT", 0), 0u) << name;

    // Released again, the guard lets the next start through.
    auto after = f.run(installer, "/s", 9);
    EXPECT_EQ(after.exit_code, 9u);
}
