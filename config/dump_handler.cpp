#include "config/config.hpp"

// After the Windows headers, which it needs.
#include <dbghelp.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "corvid/exception.hpp"
#include "corvid/handle.hpp"

namespace config {

namespace {

using minidump_write_function = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                              PMINIDUMP_EXCEPTION_INFORMATION, PMINIDUMP_USER_STREAM_INFORMATION,
                                              PMINIDUMP_CALLBACK_INFORMATION);

// Loaded once; its presence marks the handler as installed.
corvid::unique_module dbghelp;
minidump_write_function minidump_write = nullptr;
std::string dump_file_name;
MINIDUMP_TYPE dump_type = MiniDumpNormal;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;

// LOAD_LIBRARY_SEARCH_SYSTEM32, named here because older headers lack it.
constexpr DWORD search_system32 = 0x00000800;

// The library comes from the system folder only. A bootstrapper runs from
// download folders, where anyone can place a "dbghelp.dll" beside it; the
// ordinary search would load that one first, inside a process that runs with
// administrator rights. Systems that do not know the search flag reject it
// with ERROR_INVALID_PARAMETER; there an absolute path names the file.
HMODULE load_system_dbghelp() {
    HMODULE module = ::LoadLibraryExA("dbghelp.dll", nullptr, search_system32);
    if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
    char folder[MAX_PATH];
    UINT n = ::GetSystemDirectoryA(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    std::string path(folder, n);
    path += "\\dbghelp.dll";
    return ::LoadLibraryA(path.c_str());
}

}  // namespace

bool install_dump_handler(const std::string& dump_base_path) {
    if (!dbghelp) {
        HMODULE module = load_system_dbghelp();
        if (!module) return false;
        dbghelp.reset(module);
        minidump_write = reinterpret_cast<minidump_write_function>(
            reinterpret_cast<void*>(::GetProcAddress(module, "MiniDumpWriteDump")));
        // The installation time, as the low 32 bits of seconds since 1970 in
        // signed decimal; every crash of this process writes this one file.
        auto seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
        dump_file_name = corvid::format("%s.%i.dmp", dump_base_path.c_str(), static_cast<int>(seconds));
        dump_type = MiniDumpNormal;
        previous_filter = ::SetUnhandledExceptionFilter(dump_filter);
    }
    return minidump_write != nullptr;
}

LONG WINAPI dump_filter(EXCEPTION_POINTERS* exception) {
    if (minidump_write) {
        corvid::unique_file file(::CreateFileA(dump_file_name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            MINIDUMP_EXCEPTION_INFORMATION information{};
            information.ThreadId = ::GetCurrentThreadId();
            information.ExceptionPointers = exception;
            information.ClientPointers = FALSE;
            // A dump that cannot be written is no reason to change what
            // happens to the crash.
            minidump_write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), dump_type, &information,
                           nullptr, nullptr);
        }
    }
    if (previous_filter) return previous_filter(exception);
    return EXCEPTION_CONTINUE_SEARCH;
}

void remove_dump_handler() {
    ::SetUnhandledExceptionFilter(previous_filter);
    minidump_write = nullptr;
    dbghelp.reset();
}

}  // namespace config
