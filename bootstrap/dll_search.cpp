#include "bootstrap/dll_search.hpp"

#include <string>

#include "corvid/win32.hpp"

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

bool restrict_to_system_directory(HMODULE kernel) {
    using set_default_fn = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<set_default_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
    using set_dll_directory_fn = BOOL(WINAPI*)(LPCSTR);
    auto set_dll_directory = reinterpret_cast<set_dll_directory_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryA")));
    if (set_dll_directory) set_dll_directory("");
    return false;
}

// Loads each launch library from the system directory; one that the system
// lacks is skipped. The modules stay loaded for the life of the process on
// purpose: that is what makes a later load by name find them.
void preload_launch_libraries(bool search_flags_supported) {
    wchar_t system[MAX_PATH];
    UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (!search_flags_supported && (length == 0 || length >= MAX_PATH)) return;
    for (const wchar_t* name : launch_libraries) {
        if (search_flags_supported) {
            ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        } else {
            // A full path is never searched for; its own imports are looked
            // for beside it, in the system directory, first.
            std::wstring path = std::wstring(system, length) + L"\\" + name;
            ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
}

}  // namespace

void restrict_dll_search() noexcept {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    const bool restricted = restrict_to_system_directory(kernel);
    try {
        preload_launch_libraries(restricted);
    } catch (...) {
        // Out of memory for a path: the search restriction still stands.
    }
}

}  // namespace bootstrap
