#include "bootstrap/launch.hpp"

#include "bootstrap/command_line.hpp"
#include "corvid/handle.hpp"
#include "corvid/log/log.hpp"
#include "corvid/message_box.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"
#include "pe/pe_image.hpp"
#include "platform/win32/win32_io.hpp"

namespace bootstrap {

namespace {

struct environment_traits {
    using type = wchar_t*;
    static type invalid() noexcept { return nullptr; }
    static void close(type block) noexcept { ::FreeEnvironmentStringsW(block); }
};

// This process's environment with NoDefaultCurrentDirectoryInExePath set;
// empty when the system gives none.
std::wstring launch_environment() {
    corvid::unique_resource<environment_traits> block(::GetEnvironmentStringsW());
    if (!block) return std::wstring();
    const wchar_t* end = block.get();
    while (*end) end += std::wcslen(end) + 1;
    return environment_with(std::wstring_view(block.get(), static_cast<std::size_t>(end - block.get())),
                            L"NoDefaultCurrentDirectoryInExePath", L"1");
}

std::wstring system_directory() {
    wchar_t buffer[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(buffer, length);
}

// Whether the file at `path` (UTF-8) is a program the system starts itself.
bool is_program_file(const std::string& path) {
    archive::win32_input input;
    if (!input.open(path)) return true;  // the start says why it cannot be opened
    return archive::pe::is_program(input);
}

int refuse_start(const char* reason) {
    corvid::log::writef("Not started: %s", reason);
    corvid::show_message_box("ShellExecuteEx failed", "Unable to spawn process");
    return 1;
}

int wait_for(HANDLE process) {
    if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) {
        corvid::log::writef("Waiting for the setup failed (%lu)", ::GetLastError());
        corvid::show_message_box("WaitForSingleObject failed", "Unable to wait for process");
        return 1;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) {
        corvid::log::writef("The setup's exit code cannot be read (%lu)", ::GetLastError());
        corvid::show_message_box("GetExitCodeProcess failed", "Unable to get process exit code");
        return 1;
    }
    // Passed through unchanged, values above 255 and 0xFFFFFFFF included.
    return static_cast<int>(code);
}

}  // namespace

int launch_and_wait(const std::string& payload, const std::string& parameters,
                    const std::function<void()>& release_holds) {
    if (payload.empty() || payload.back() == '\\') return refuse_start("the archive names no file to start");
    if (!is_program_file(payload)) return refuse_start("the file to start is not a program");
    const std::wstring application = corvid::unicode::from_utf8(payload);
    std::wstring command_line = payload_command_line(application, corvid::unicode::from_utf8(parameters));
    std::wstring environment = launch_environment();
    const std::wstring directory = system_directory();
    if (command_line.empty() || environment.empty() || directory.empty())
        return refuse_start("its command line, environment or current directory cannot be made");

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(), directory.c_str(),
                          &startup, &started)) {
        const DWORD error = ::GetLastError();
        constexpr DWORD elevation_required = 740;  // ERROR_ELEVATION_REQUIRED
        corvid::log::writef(error == elevation_required
                                ? "Not started: the setup asks for elevation, and this run is not elevated (%lu)"
                                : "Not started: CreateProcess failed (%lu)",
                            error);
        corvid::show_message_box("ShellExecuteEx failed", "Unable to spawn process");
        return 1;
    }
    corvid::unique_handle process(started.hProcess), thread(started.hThread);
    release_holds();
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(process.get(), 1);
        corvid::log::writef("Not started: its first thread could not be resumed (%lu)", error);
        corvid::show_message_box("ShellExecuteEx failed", "Unable to spawn process");
        return 1;
    }
    thread.reset();
    return wait_for(process.get());
}

}  // namespace bootstrap
