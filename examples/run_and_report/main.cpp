// run_and_report: starts the command line that follows its own name, waits
// for the process to end and prints the process's exit code in decimal on
// standard output, the full 32-bit value. Under Wine a Windows program's exit
// status reaches the Unix side cut to its low 8 bits; scripts that need the
// real code (1603, 1619, ...) start the program through this one.
//
// Exit status: 0 when the code was printed; 2 without a command; 3 when the
// process could not be started, waited for or its code read (message on
// standard error).
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"

namespace {

// The command line after this program's own name and the blanks after it,
// split as the C runtime splits argv[0]: a quoted name runs to the next quote.
const wchar_t* after_program_name(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

int report_failure(const char* call, DWORD error) {
    std::fprintf(stderr, "run_and_report: %s failed (%lu)\n", call, static_cast<unsigned long>(error));
    return 3;
}

}  // namespace

int wmain() {
    const wchar_t* command = after_program_name(::GetCommandLineW());
    if (*command == L'\0') {
        std::fprintf(stderr, "usage: run_and_report PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    std::vector<wchar_t> writable(command, command + std::wcslen(command) + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
        return report_failure("CreateProcess", ::GetLastError());
    corvid::unique_handle process(info.hProcess), thread(info.hThread);
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0)
        return report_failure("WaitForSingleObject", ::GetLastError());
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) return report_failure("GetExitCodeProcess", ::GetLastError());
    std::printf("%lu\n", static_cast<unsigned long>(code));
    return std::fflush(stdout) == 0 ? 0 : 3;
}
