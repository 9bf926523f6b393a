// Probe payload for process-level tests: a GUI program, like a real setup.
// It writes what it was started with to the file named by PROBE_REPORT and
// exits with the code in PROBE_EXIT (any 32-bit value, decimal or 0x hex).
//   PROBE_SLEEP_MS  milliseconds to wait before exiting (for guard tests)
//   PROBE_MARKER    a file to create at start (counted by concurrency tests)
//   PROBE_TIMESTAMP when set, the marker line also carries the performance
//                   counter read on entry ("started <ticks>"), for timing
//                   harnesses on the same machine
// Report lines: "commandline=", "cwd=", "path=", each followed by the exact text.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"

namespace {

std::string env(const char* name) {
    char buffer[32768];
    DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return (n == 0 || n >= sizeof(buffer)) ? std::string() : std::string(buffer, n);
}

void append_file(const std::string& path, const std::string& text) {
    corvid::unique_file file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    LARGE_INTEGER entered;
    if (!::QueryPerformanceCounter(&entered)) entered.QuadPart = 0;

    std::string marker = env("PROBE_MARKER");
    if (!marker.empty()) {
        if (env("PROBE_TIMESTAMP").empty())
            append_file(marker, "started\n");
        else
            append_file(marker, "started " + std::to_string(entered.QuadPart) + "\n");
    }

    std::string report = env("PROBE_REPORT");
    if (!report.empty()) {
        char cwd[32768];
        DWORD cwd_length = ::GetCurrentDirectoryA(sizeof(cwd), cwd);
        char path[32768];
        DWORD path_length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
        std::string text = std::string("commandline=") + ::GetCommandLineA() + "\n" +
                           "cwd=" + std::string(cwd, cwd_length) + "\n" +
                           "path=" + std::string(path, path_length) + "\n";
        append_file(report, text);
    }

    std::string sleep = env("PROBE_SLEEP_MS");
    if (!sleep.empty()) ::Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));

    std::string code = env("PROBE_EXIT");
    return code.empty() ? 0 : static_cast<int>(std::strtoul(code.c_str(), nullptr, 0));
}
