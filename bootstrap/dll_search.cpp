#include "bootstrap/dll_search.hpp"

#include "corvid/win32.hpp"

namespace bootstrap {

void restrict_dll_search() noexcept {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    using set_default_fn = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<set_default_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    const DWORD search_system32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    if (set_default && set_default(search_system32)) return;
    using set_dll_directory_fn = BOOL(WINAPI*)(LPCSTR);
    auto set_dll_directory = reinterpret_cast<set_dll_directory_fn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryA")));
    if (set_dll_directory) set_dll_directory("");
}

}  // namespace bootstrap
