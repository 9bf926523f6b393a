// Win32 backends of the archive's input and output: the archive file and
// the extracted files, opened the way the bootstrapper opens them. Paths are
// UTF-8 (the run's narrow text) and opened through the wide functions, those
// of 260 characters or more with the extended-length prefix, so that an
// archive deep in a folder tree is read.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "archive/output.hpp"
#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "io/input.hpp"

namespace archive {

// The running program's own file, opened once at the start of the run by
// its real (wide) name and held until the end: GENERIC_READ,
// FILE_SHARE_READ, so that nobody can write, rename or delete it meanwhile.
struct own_file {
    corvid::unique_file handle;  // invalid when it could not be opened
    std::string path;            // UTF-8, for messages
    DWORD error = ERROR_SUCCESS;  // why it could not be opened
};
own_file open_own_file();

// The archive file: GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN; or a file that the
// caller opened and keeps.
class win32_input final : public seekable_input {
public:
    win32_input() = default;
    explicit win32_input(HANDLE borrowed) noexcept : file_(borrowed) {}

    // False when the file cannot be opened; last_error() gives the reason.
    bool open(const std::string& path);
    DWORD last_error() const noexcept { return error_; }

    bool size(std::uint64_t& result) override;
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override;
    // The system's text for the last failed call of this input; when none
    // failed, for the thread's last error.
    std::string failure_text() override;

private:
    corvid::unique_file owned_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    DWORD error_ = ERROR_SUCCESS;
};

// Extracted files: GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
// FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN. From its creation until
// the sink (or whoever took them over) lets go, no other handle may write,
// rename or delete a written file; reading it, and starting it, stays
// possible. A second file of the same name replaces the first.
class win32_output final : public output_sink {
public:
    // Without a folder, files are created at the paths given. With `folder`
    // (a handle on the folder that the paths name, held by the caller for
    // the sink's life), each file is created, reopened and removed as its
    // name (the path's last component, UTF-8, as every path here) inside
    // that very folder, whatever the path's folders lead to meanwhile.
    explicit win32_output(HANDLE folder = INVALID_HANDLE_VALUE) noexcept : folder_(folder) {}

    bool create(const std::string& path) override;
    bool write(const char* data, std::size_t count) override;
    // Also swaps the writing handle for a read-only one sharing reading only
    // (see take_written); false, with the file removed by remove(), when the
    // swap finds the file opened for writing by someone else.
    bool close() override;
    // The read-only handles of the files written and closed so far; whoever
    // holds them keeps those files from being changed, renamed or deleted.
    std::vector<corvid::unique_file> take_written();
    void remove() override;
    std::string failure_text() override;
    // The system's text for ERROR_INVALID_NAME.
    std::string refused_name_text() override;

private:
    HANDLE open(const std::string& path, DWORD access, DWORD disposition, DWORD share);

    HANDLE folder_;
    corvid::unique_file file_;
    std::string path_;
    DWORD error_ = ERROR_SUCCESS;
    std::vector<std::pair<std::string, corvid::unique_file>> written_;
};

}  // namespace archive
