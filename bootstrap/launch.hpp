// Starting the payload as itself and waiting for it.
#pragma once

#include <functional>
#include <string>

namespace bootstrap {

// Starts the program at `payload` (a full path, UTF-8) with CreateProcessW:
// the exact file as the application, never a name the system looks up, no
// file-type association, no shell and so no class handler loaded into this
// process. Its command line is payload_command_line(payload, parameters),
// byte for byte what a shell's start would have given it; its current
// directory the system directory, which only administrators can write (a
// program it starts by bare name, a DLL it loads by bare name, is never
// taken from a folder of the user's); its environment this process's with
// NoDefaultCurrentDirectoryInExePath set, so that its own children do not
// search their current directory for programs either.
//
// A file that is no program (not a PE executable for the Windows GUI or
// console subsystem: a Windows Installer package, a batch file) is not
// started. The process is created suspended; `release_holds` is called
// once it exists and before it runs, so that the payload finds its files as
// in a plain folder. Then the wait, without a time-out.
//
// Returns the payload's exit code unchanged, or 1 after the failure's box
// (corvid::show_message_box, which the silent switch closes) and a log line:
// "ShellExecuteEx failed" / "Unable to spawn process" when it cannot be
// started (also when it asks for an elevation that this run lacks),
// "WaitForSingleObject failed" / "Unable to wait for process",
// "GetExitCodeProcess failed" / "Unable to get process exit code".
int launch_and_wait(const std::string& payload, const std::string& parameters,
                    const std::function<void()>& release_holds);

}  // namespace bootstrap
