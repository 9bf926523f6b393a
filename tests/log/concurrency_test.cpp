// Several processes append to one log base name at the same time.
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "log_test_support.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/support/start_process.hpp"

using test_support::read_file;
using test_support::scratch_dir;

namespace {

constexpr int writers = 8;
constexpr int lines_each = 500;

std::string own_directory() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

// Starts the writers, releases them together and waits for all; returns the
// milliseconds from the release to the last exit.
long long run_writers(const std::string& base, std::uint32_t max_size, std::uint32_t generations) {
    const std::string tag = std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount());
    const std::string ready_name = "log-writers-ready-" + tag;
    const std::string start_name = "log-writers-start-" + tag;
    corvid::unique_handle ready(::CreateSemaphoreA(nullptr, 0, writers, ready_name.c_str()));
    corvid::unique_handle start(::CreateEventA(nullptr, TRUE, FALSE, start_name.c_str()));
    EXPECT_TRUE(ready && start);
    if (!ready || !start) return -1;

    const std::string exe = own_directory() + "log_writer.exe";
    std::vector<corvid::unique_handle> processes;
    for (int id = 0; id < writers; ++id) {
        std::string command = "\"" + exe + "\" \"" + base + "\" " + std::to_string(lines_each) + " " +
                              std::to_string(max_size) + " " + std::to_string(generations) + " " +
                              std::to_string(id) + " " + ready_name + " " + start_name;
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!test_support::start_process([&] {
                return ::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                                        &pi);
            })) {
            ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
            return -1;
        }
        ::CloseHandle(pi.hThread);
        processes.emplace_back(pi.hProcess);
    }
    for (int i = 0; i < writers; ++i)
        if (::WaitForSingleObject(ready.get(), 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "writers did not start";
            ::SetEvent(start.get());
            return -1;
        }
    const auto begin = std::chrono::steady_clock::now();
    ::SetEvent(start.get());
    for (auto& p : processes) {
        EXPECT_EQ(::WaitForSingleObject(p.get(), 120000), WAIT_OBJECT_0);
        DWORD code = 99;
        ::GetExitCodeProcess(p.get(), &code);
        EXPECT_EQ(code, 0u);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
        .count();
}

struct parsed {
    int writer;
    int number;
};

// Checks one line's shape and returns its writer and number.
bool parse_line(const std::string& line, parsed& out, std::string& reason) {
    if (!log_test::is_prefix(line.substr(0, 23), ' ')) {
        reason = "bad prefix: " + line.substr(0, 40);
        return false;
    }
    int consumed = 0;
    if (std::sscanf(line.c_str() + 23, "writer %d line %d %n", &out.writer, &out.number, &consumed) != 2 ||
        out.writer < 0 || out.writer >= writers) {
        reason = "bad text: " + line.substr(0, 60);
        return false;
    }
    const std::string padding = line.substr(23 + static_cast<std::size_t>(consumed));
    if (padding != std::string(20 + 7 * out.writer, 'x')) {
        reason = "bad padding: " + line;
        return false;
    }
    return true;
}

// All lines of the files, in order; every line must be whole.
std::vector<parsed> collect(const std::vector<std::string>& files) {
    std::vector<parsed> all;
    for (const std::string& f : files) {
        std::vector<std::string> lines;
        std::string reason;
        EXPECT_TRUE(log_test::split_log(read_file(f), lines, reason)) << f << ": " << reason;
        for (const std::string& l : lines) {
            parsed p{};
            if (!parse_line(l, p, reason)) {
                ADD_FAILURE() << f << ": " << reason;
                continue;
            }
            all.push_back(p);
        }
    }
    return all;
}

std::set<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names = test_support::names_in(dir);
    return {names.begin(), names.end()};
}

}  // namespace

TEST(LogConcurrency, EightProcessesAppendWholeLinesToOneFile) {
    scratch_dir scratch("logmulti");
    const std::string base = scratch.path() + "shared";
    const long long ms = run_writers(base, 0xFFFFFFFFu, 0);
    ASSERT_GE(ms, 0);

    const std::vector<parsed> all = collect({base + ".log.txt"});
    EXPECT_EQ(all.size(), static_cast<std::size_t>(writers * lines_each));
    std::vector<int> next(writers, 0);
    for (const parsed& p : all) {
        EXPECT_EQ(p.number, next[p.writer]) << "writer " << p.writer;
        next[p.writer] = p.number + 1;
    }
    for (int w = 0; w < writers; ++w) EXPECT_EQ(next[w], lines_each) << "writer " << w;
    EXPECT_EQ(files_in(scratch.path()), std::set<std::string>{"shared.log.txt"});
    std::printf("[ figures  ] %d processes x %d lines, no rotation: %lld ms, %zu lines\n", writers,
                lines_each, ms, all.size());
}

TEST(LogConcurrency, RotationUnderContentionSplitsNoLine) {
    scratch_dir scratch("logmultirot");
    const std::string base = scratch.path() + "shared";
    constexpr std::uint32_t max_size = 16384;
    const long long ms = run_writers(base, max_size, 3);
    ASSERT_GE(ms, 0);

    EXPECT_EQ(files_in(scratch.path()),
              (std::set<std::string>{"shared.log.txt", "shared.1.log.txt", "shared.2.log.txt",
                                     "shared.3.log.txt"}));
    // Each generation was copied when the file had just reached max_size:
    // before its last line it was below.
    const std::size_t longest_line = 23 + std::string("writer 7 line 499 ").size() + 20 + 7 * 7 + 2;
    for (int n = 1; n <= 3; ++n) {
        const std::size_t size = read_file(base + "." + std::to_string(n) + ".log.txt").size();
        EXPECT_GE(size, max_size) << n;
        EXPECT_LT(size, max_size + longest_line) << n;
    }
    // Oldest to newest, the kept lines of each writer run on without a gap
    // and end with its last line: only whole older files were dropped.
    const std::vector<parsed> all =
        collect({base + ".1.log.txt", base + ".2.log.txt", base + ".3.log.txt", base + ".log.txt"});
    std::map<int, int> last;
    for (const parsed& p : all) {
        auto it = last.find(p.writer);
        if (it != last.end()) {
            EXPECT_EQ(p.number, it->second + 1) << "writer " << p.writer;
        }
        last[p.writer] = p.number;
    }
    // A writer whose lines all went into dropped generations (it ran early,
    // before the others got going) has none kept; every writer that has ends
    // with its last line.
    EXPECT_FALSE(last.empty());
    for (const auto& [writer, number] : last) EXPECT_EQ(number, lines_each - 1) << "writer " << writer;
    const std::size_t total_bytes = read_file(base + ".1.log.txt").size() + read_file(base + ".2.log.txt").size() +
                                    read_file(base + ".3.log.txt").size() + read_file(base + ".log.txt").size();
    std::printf("[ figures  ] %d processes x %d lines, max_size %u, 3 generations: %lld ms, %zu lines "
                "kept in %zu bytes\n",
                writers, lines_each, max_size, ms, all.size(), total_bytes);
}
