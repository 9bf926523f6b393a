// run_timer RUNS MARKER PROGRAM [ARGUMENTS...]
// Starts PROGRAM RUNS times, one after another, and prints for each run the
// time from just before CreateProcess to the payload's entry (read from the
// probe's timestamped marker line) and to the end of the run, in
// microseconds of the performance counter, which all processes of the
// machine share. The marker file is deleted before each run; the probe finds
// it through PROBE_MARKER and PROBE_TIMESTAMP, set here for the children.
// Output, one line per run: "run N exit=CODE payload_us=T1 total_us=T2"
// (T1 is -1 when no payload started). Exit code 0 when every run could be
// started and waited for.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "tests/support/quote_argument.hpp"
#include "tests/support/start_process.hpp"

namespace {

// Plain arguments go as they are, the others quoted.
std::string quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    return test_support::quote_argument(argument);
}

// The performance-counter value of the last "started <ticks>" line, or -1.
long long payload_start(const std::string& marker) {
    corvid::unique_file file(::CreateFileA(marker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return -1;
    char text[4096];
    DWORD got = 0;
    if (!::ReadFile(file.get(), text, sizeof text - 1, &got, nullptr)) return -1;
    text[got] = '\0';
    long long ticks = -1;
    for (const char* line = text; (line = std::strstr(line, "started ")) != nullptr; line += 8)
        ticks = std::strtoll(line + 8, nullptr, 10);
    return ticks;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: run_timer RUNS MARKER PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string marker = argv[2];
    std::string command_line = quote(argv[3]);
    for (int i = 4; i < argc; ++i) command_line += " " + quote(argv[i]);

    LARGE_INTEGER frequency;
    if (!::QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
        !::SetEnvironmentVariableA("PROBE_MARKER", marker.c_str()) ||
        !::SetEnvironmentVariableA("PROBE_TIMESTAMP", "1")) {
        std::fprintf(stderr, "run_timer: cannot set up timing (error %lu)\n", ::GetLastError());
        return 1;
    }
    auto microseconds = [&](long long ticks) { return ticks * 1000000 / frequency.QuadPart; };

    for (int run = 1; run <= runs; ++run) {
        if (!::DeleteFileA(marker.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
            std::fprintf(stderr, "run_timer: cannot delete %s (error %lu)\n", marker.c_str(), ::GetLastError());
            return 1;
        }
        std::string mutable_line = command_line;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        LARGE_INTEGER started, ended;
        // The clock starts again with a start that Wine had to repeat.
        if (!test_support::start_process([&] {
                ::QueryPerformanceCounter(&started);
                return ::CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &info);
            })) {
            std::fprintf(stderr, "run_timer: cannot start %s (error %lu)\n", command_line.c_str(), ::GetLastError());
            return 1;
        }
        corvid::unique_handle process(info.hProcess);
        corvid::unique_handle thread(info.hThread);
        if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "run_timer: waiting failed (error %lu)\n", ::GetLastError());
            return 1;
        }
        ::QueryPerformanceCounter(&ended);
        DWORD exit_code = 0;
        if (!::GetExitCodeProcess(process.get(), &exit_code)) {
            std::fprintf(stderr, "run_timer: no exit code (error %lu)\n", ::GetLastError());
            return 1;
        }
        long long entry = payload_start(marker);
        std::printf("run %d exit=%lu payload_us=%lld total_us=%lld\n", run, exit_code,
                    entry < 0 ? -1 : microseconds(entry - started.QuadPart),
                    microseconds(ended.QuadPart - started.QuadPart));
        std::fflush(stdout);
    }
    return 0;
}
