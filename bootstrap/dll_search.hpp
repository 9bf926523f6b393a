#pragma once

namespace bootstrap {

// Restricts the process's DLL search to the system directory, where the
// system supports it (SetDefaultDllDirectories, Windows 8 and Windows 7 with
// KB2533623); elsewhere it removes the current directory from the search.
void restrict_dll_search() noexcept;

}  // namespace bootstrap
