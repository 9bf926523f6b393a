// The bootstrapper's whole run, from its command line to its exit code.
#pragma once

#include <string>

#include "corvid/win32.hpp"

namespace bootstrap {

// Runs the installation: log, silent switch, application paths, single-
// instance guard, working directory, extraction, payload command line and
// language, launch and wait, clean-up. Returns the payload's exit code, or 1
// for every failure of its own. Its own file and command line come from the
// system as UTF-16 (GetModuleFileNameW, GetCommandLineW), never through a
// narrow copy that the ANSI code page could have changed.
int run(HINSTANCE instance);

}  // namespace bootstrap
