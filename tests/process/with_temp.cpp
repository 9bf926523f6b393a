// with_temp TEMPDIR PROGRAM [ARGUMENTS...]: runs PROGRAM with TEMP and TMP
// set to TEMPDIR and returns its exit code (255 when it cannot be started).
// For runs started from Unix (under a file size limit), where Wine takes the
// temporary directory from the prefix, not from the Unix environment.
#include <string>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "tests/support/start_process.hpp"

int main(int argc, char** argv) {
    if (argc < 3) return 255;
    if (!::SetEnvironmentVariableA("TEMP", argv[1]) || !::SetEnvironmentVariableA("TMP", argv[1])) return 255;
    std::string command = std::string("\"") + argv[2] + "\"";
    for (int i = 3; i < argc; ++i) command += std::string(" ") + argv[i];
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!test_support::start_process([&] {
            return ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                    &info);
        }))
        return 255;
    corvid::unique_handle process(info.hProcess), thread(info.hThread);
    DWORD code = 255;
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.get(), &code))
        return 255;
    return static_cast<int>(code);
}
