#pragma once

#include "corvid/win32.hpp"

namespace bootstrap {

// Restricts the process's DLL search to the system directory, where the
// system supports it (SetDefaultDllDirectories, Windows 8 and Windows 7 with
// KB2533623); elsewhere it removes the current directory from the search.
// Then loads, from the system directory, the libraries that the shell loads on
// demand when it launches a program, so that no later load by name can pick
// one up from the program's folder. Called first thing, before any call that
// may load a library.
void restrict_dll_search() noexcept;

// Loads the library `name` (a bare file name) from the system directory
// only, never from the program's folder or the current directory; null when
// it cannot be loaded there (GetLastError says why). A library that the
// program's manifest redirects (the common controls of the side-by-side
// dependency) comes from the system's side-by-side store. The caller owns
// the reference.
HMODULE load_system_library(const wchar_t* name) noexcept;

}  // namespace bootstrap
