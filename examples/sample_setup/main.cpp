// The sample product's setup program: installs the Windows Installer package
// that lies beside it with Wine's or Windows' own msiexec and returns
// msiexec's exit code. Its own failures return the Win32 error code of the
// failed call; a missing package returns ERROR_INSTALL_PACKAGE_OPEN_FAILED,
// as msiexec would on Windows. It shows no windows of its own. msiexec
// inherits the current directory, so that a relative log path in the /V text
// means what the caller meant.
#include <string>
#include <vector>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "examples/sample_setup/command_line.hpp"

namespace {

constexpr const wchar_t* package_name = L"Tarnwick.msi";

DWORD failure(DWORD code) { return code != 0 ? code : DWORD(ERROR_INSTALL_FAILURE); }

// Full path of this program's own folder, with a trailing backslash.
bool own_folder(std::wstring& folder, DWORD& error) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0) {
            error = ::GetLastError();
            return false;
        }
        if (n < buffer.size()) {
            folder.assign(buffer.data(), n);
            break;
        }
        if (buffer.size() >= 32768) {
            error = ERROR_INSUFFICIENT_BUFFER;
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::wstring::size_type slash = folder.find_last_of(L"\\/");
    folder.erase(slash == std::wstring::npos ? 0 : slash + 1);
    return true;
}

bool system_msiexec(std::wstring& path, DWORD& error) {
    wchar_t buffer[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        error = n == 0 ? ::GetLastError() : DWORD(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    path.assign(buffer, n);
    path += L"\\msiexec.exe";
    return true;
}

DWORD run_setup(const wchar_t* arguments) {
    sample_setup::setup_options options = sample_setup::parse_setup_command_line(arguments);

    DWORD error = 0;
    std::wstring folder, msiexec;
    if (!own_folder(folder, error) || !system_msiexec(msiexec, error)) return failure(error);

    std::wstring package = folder + package_name;
    if (::GetFileAttributesW(package.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
    }

    std::wstring command = L"\"" + msiexec + L"\" " + sample_setup::msiexec_arguments(package, options);
    std::vector<wchar_t> writable(command.begin(), command.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(msiexec.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return failure(::GetLastError());
    }
    corvid::unique_handle process_handle(process.hProcess);
    corvid::unique_handle thread_handle(process.hThread);

    if (::WaitForSingleObject(process_handle.get(), INFINITE) != WAIT_OBJECT_0) {
        return failure(::GetLastError());
    }
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(process_handle.get(), &exit_code)) return failure(::GetLastError());
    return exit_code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    return int(run_setup(arguments != nullptr ? arguments : L""));
}
