#include "bootstrap/dll_search.hpp"

#include <cwchar>

namespace bootstrap {

namespace {

// Libraries that the system's own DLLs load on demand (by delay-load or by
// name) while the run shows a box or asks the shell for a folder, and that
// the shell loaded while it launched a program. Not every loader applies the
// process's default search directories to delay-loads, and systems without
// SetDefaultDllDirectories search the program's folder first whatever the
// process asks; a library already loaded is found by its name before any
// folder is searched.
const wchar_t* const launch_libraries[] = {
    L"ole32.dll",    L"oleaut32.dll",  L"propsys.dll",  L"profapi.dll",       L"apphelp.dll",
    L"uxtheme.dll",  L"userenv.dll",   L"version.dll",  L"cryptbase.dll",     L"sspicli.dll",
    L"ntmarta.dll",  L"cfgmgr32.dll",  L"dwmapi.dll",   L"windows.storage.dll", L"kernel.appcore.dll",
    L"setupapi.dll", L"clbcatq.dll",   L"wldp.dll",     L"edputil.dll",
};

void restrict_to_system_directory(HMODULE kernel) {
    using set_default_fn = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<set_default_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    using set_dll_directory_fn = BOOL(WINAPI*)(LPCSTR);
    auto set_dll_directory = reinterpret_cast<set_dll_directory_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryA")));
    if (set_dll_directory) set_dll_directory("");
}

}  // namespace

HMODULE load_system_library(const wchar_t* name) noexcept {
    if (HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
    // A system that does not know the flag (Windows 7 without KB2533623)
    // refuses it as a parameter; any other failure is the library's own.
    if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
    wchar_t path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    const std::size_t name_length = std::wcslen(name);
    if (length == 0 || length + 1 + name_length >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, name, name_length + 1);
    // A full path is never searched for; its own imports are looked for
    // beside it, in the system directory, first.
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void restrict_dll_search() noexcept {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    restrict_to_system_directory(kernel);
    // Each from the system directory; one that the system lacks is skipped.
    // The modules stay loaded for the life of the process on purpose: that
    // is what makes a later load by name find them.
    for (const wchar_t* name : launch_libraries) load_system_library(name);
}

}  // namespace bootstrap
