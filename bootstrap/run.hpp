// The bootstrapper's whole run, from its command line to its exit code.
#pragma once

#include <string>

#include "corvid/win32.hpp"

namespace bootstrap {

// Runs the installation: log, silent switch, application paths, single-
// instance guard, working directory, extraction, payload command line and
// language, launch and wait, clean-up. Returns the payload's exit code, or 1
// for every failure of its own. command_line is the text after the program's
// name, as the runtime hands it to WinMain.
int run(HINSTANCE instance, const std::string& command_line);

// Full path of this program's file, however long.
std::string own_module_path();

}  // namespace bootstrap
