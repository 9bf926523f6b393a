#pragma once

namespace bootstrap {

// Restricts the process's DLL search to the system directory, where the
// system supports it (SetDefaultDllDirectories, Windows 8 and Windows 7 with
// KB2533623); elsewhere it removes the current directory from the search.
// Then loads, from the system directory, the libraries that the shell loads on
// demand when it launches a program, so that no later load by name can pick
// one up from the program's folder. Called first thing, before any call that
// may load a library.
void restrict_dll_search() noexcept;

}  // namespace bootstrap
