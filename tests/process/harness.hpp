// Process-level test harness: packs real installers around the probe payload
// with chunkpack, runs them as separate processes with a private TEMP, and
// reads back what the probe saw and the full 32-bit exit code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "corvid/handle.hpp"
#include "tests/support/scratch_dir.hpp"

namespace process_test {

// Folder of the running test program (with trailing backslash); the
// bootstrapper, the probe and chunkpack are built into the same folder.
std::string bin_dir();

struct started {
    std::uint32_t exit_code = 0;
    bool finished = false;  // false when the time-out ran out (process killed)
};

// Runs command_line (the program path first, quoted as needed) with the
// current environment plus the overrides, waiting at most timeout_ms.
started run_process(const std::string& command_line, const std::map<std::string, std::string>& env,
                    unsigned timeout_ms = 60000, const std::string& directory = std::string());

// The same with wide text throughout (CreateProcessW), for paths and
// environment values that the ANSI code page cannot represent.
started run_process_w(const std::wstring& command_line, const std::map<std::wstring, std::wstring>& env,
                      unsigned timeout_ms = 60000);

// A process started by start_process, still running: its handles, the
// main thread's kept so that a test can suspend it.
struct running_process {
    corvid::unique_handle process, thread;
    DWORD id = 0;
};
running_process start_process(const std::string& command_line, const std::map<std::string, std::string>& env,
                              const std::string& directory = std::string());
// Waits for it (killing it after the time-out) and takes its exit code.
started wait_for(running_process& p, unsigned timeout_ms = 60000);

// Holds up the extraction of a bootstrapper run, as a slow disk or a virus
// scanner would: suspends its main thread, which extracts, as soon as a
// file named `name` has appeared in a working folder ("ZELT*") in `temp`
// (extraction is then writing it), or once it holds `at_least` bytes.
// False when the run ended first or the file did not appear within the
// time-out. ResumeThread lets it go on.
bool hold_extraction(running_process& p, const std::string& temp, const std::string& name,
                     unsigned timeout_ms = 60000, unsigned long long at_least = 0);

// The visible top-level windows of process `pid`.
std::vector<HWND> windows_of(DWORD pid);
// Of those, the first that holds a progress bar (its bar in `bar`), or null.
HWND progress_window_of(DWORD pid, HWND* bar = nullptr);

// Quotes one argument by the C runtime's rules (backslashes before a quote
// doubled, quotes escaped).
std::string quote(const std::string& argument);

// One packed installer and the private temporary directory its runs use.
class installer_fixture {
public:
    explicit installer_fixture(const std::string& tag);

    // Packs bootstrapper.exe with the probe as file entry "installer32" and
    // the given value entries (in reading order), then "executable32" =
    // "%installer32%" unless values already name it, then `files` (key,
    // path), read after the probe. Returns the path. `stub` names another
    // stub program of the build folder.
    std::string pack(const std::vector<std::pair<std::string, std::string>>& values,
                     const std::string& name = "setup.exe", const std::string& stub = "bootstrapper.exe",
                     const std::vector<std::pair<std::string, std::string>>& files = {});
    // chunkpack build with explicit arguments (after --stub/--out).
    std::string pack_raw(const std::vector<std::string>& arguments, const std::string& name,
                         const std::string& stub = "bootstrapper.exe");
    // pack() with a file entry "filler" (large_file_name) of 32 MiB, all
    // zeros but the last byte, beside the probe, made once per fixture.
    std::string pack_large(const std::string& name = "large.exe");
    static constexpr const char* large_file_name = "filler.bin";

    // Runs an installer with arguments, TEMP/TMP set to the private temp
    // directory and the probe told to report and exit with probe_exit.
    // `directory`, when given, is the installer's current directory.
    started run(const std::string& installer, const std::string& arguments,
                std::uint32_t probe_exit = 0, std::map<std::string, std::string> env = {},
                const std::string& directory = std::string());
    // The same with wide text (CreateProcessW), for names and arguments
    // that the ANSI code page cannot hold.
    started run_w(const std::wstring& installer, const std::wstring& arguments, std::uint32_t probe_exit = 0);
    // run() without waiting.
    running_process start(const std::string& installer, const std::string& arguments, std::uint32_t probe_exit = 0,
                          std::map<std::string, std::string> env = {}, const std::string& directory = std::string());

    const std::string& temp() const { return temp_.path(); }   // with trailing backslash
    const std::string& work() const { return work_.path(); }   // where installers are packed
    std::string report_path() const { return temp_.path() + "probe-report.txt"; }
    // Parsed probe report: "commandline", "cwd", "path"; empty when the probe never ran.
    std::map<std::string, std::string> report() const;
    // Names in the private temp directory (files and folders), sorted.
    std::vector<std::string> temp_entries() const;

private:
    test_support::scratch_dir temp_;
    test_support::scratch_dir work_;
};

// Runs `command` with the Unix shell (started apart from Wine's processes)
// and waits up to a minute for it; its exit status, or -1. `folder` is a
// scratch folder for its status file.
int run_shell(const std::string& command, const std::string& folder);

// Byte-level edits of packed installers.
std::string read_all(const std::string& path);
void write_all(const std::string& path, const std::string& bytes);

}  // namespace process_test
