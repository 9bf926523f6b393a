// A fresh directory under the temporary directory for one Windows test,
// removed with everything in it when the test ends (from Wine's Unix side
// where Wine cannot, as for Unix links). Its name is new to the whole run of
// the test program: what earlier runs left behind never stands in its way.
#pragma once

#include <string>
#include <vector>

#include "corvid/win32.hpp"

namespace test_support {

class scratch_dir {
public:
    explicit scratch_dir(const std::string& tag);
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    // Full path with a trailing backslash.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Writes bytes to a file (replacing it); false on failure.
bool write_file(const std::string& path, const std::string& bytes);
// Writes `head`, then `hole` zero bytes, then `tail` (replacing the file);
// the hole is left sparse, so files of gigabytes cost no disk space (where
// the file system has no sparse files it is written out). False on failure.
bool write_sparse_file(const std::string& path, const std::string& head, unsigned long long hole,
                       const std::string& tail);
// Whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// The names in the directory `dir` (ending with a separator), "." and ".."
// left out, sorted; empty when it cannot be listed.
std::vector<std::string> names_in(const std::string& dir);
std::vector<std::wstring> names_in(const std::wstring& dir);
// The Unix path of a Windows path (ANSI code page) under Wine; empty
// elsewhere or when Wine cannot name it.
std::string unix_path(const std::string& path);
// Starts a Unix program under Wine (`program` as a Z:\ path). Wine runs it
// apart from its own processes, with no handle to wait for: a caller that
// needs its end has it report through a file. False when it cannot start.
bool start_unix_program(const char* program, std::string command_line);
// Runs a shell command (no double quotes in it) on Wine's Unix side and waits
// for it; its standard output, or "(not run)" when it did not finish within
// 30 s.
std::string run_unix_shell(const std::string& command);

}  // namespace test_support
