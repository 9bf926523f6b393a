// The two byte interfaces that archive reading is written against: a
// seekable input (the archive file) and an output sink (the files that
// extraction writes). Backends: memory and C stdio (stdio_io.hpp, for the
// packer and host tests) and Win32 (win32_io.hpp, for the bootstrapper).
// Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "archive/file_name.hpp"

namespace archive {

class seekable_input {
public:
    virtual ~seekable_input() = default;

    // The input's size in bytes; false when it cannot be determined.
    virtual bool size(std::uint64_t& result) = 0;

    // Reads exactly `count` bytes starting at `offset` into `buffer`. False
    // on failure and on a short read (fewer bytes available); the buffer's
    // content is then unspecified. Callers never ask for more than
    // max_read_block bytes at once. The chunk reader may call it from a
    // thread of its own (one call at a time), so the failure is kept in the
    // object, not in the calling thread's state.
    virtual bool read_at(std::uint64_t offset, void* buffer, std::size_t count) = 0;

    // The platform's text for the most recent failure of this input (the
    // system's last error where there is one). Asked right after a failure.
    virtual std::string failure_text() = 0;
};

// The largest single read_at request, and the block size in which chunk data
// is read, digested and written: memory use does not grow with a chunk's size.
inline constexpr std::size_t max_read_block = std::size_t(1) << 20;

// Where extraction writes its files. One file is open at a time.
class output_sink {
public:
    virtual ~output_sink() = default;

    // Creates the file at `path` for writing, replacing an existing one.
    virtual bool create(const std::string& path) = 0;
    // Writes all `count` bytes to the open file; false on a failed or short
    // write.
    virtual bool write(const char* data, std::size_t count) = 0;
    // Closes the open file; false when closing reports a failure (for
    // example, data that could not be flushed).
    virtual bool close() = 0;
    // Closes the open file if need be and deletes the file that the last
    // create made: a partial output never stays behind.
    virtual void remove() = 0;

    // The platform's text for why the last create, write or close failed,
    // captured when it failed (before any clean-up).
    virtual std::string failure_text() = 0;
    // The platform's text for a file name that is refused before anything is
    // created.
    virtual std::string refused_name_text() = 0;
    // Whether `name` is a bare file name that this platform writes inside
    // the directory it is joined to, and only there. The portable check,
    // is_bare_file_name, by default.
    virtual bool accepts_name(const std::string& name) { return is_bare_file_name(name); }
};

// An output that writes nothing: for walking an archive without extracting
// it (listing, verifying).
class discarding_output final : public output_sink {
public:
    bool create(const std::string&) override { return true; }
    bool write(const char*, std::size_t) override { return true; }
    bool close() override { return true; }
    void remove() override {}
    std::string failure_text() override { return {}; }
    std::string refused_name_text() override { return "not a bare file name"; }
};

// An input over bytes held in memory (not owned; they must outlive it).
class memory_input final : public seekable_input {
public:
    explicit memory_input(std::string_view bytes) noexcept : bytes_(bytes) {}
    bool size(std::uint64_t& result) override;
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override;
    std::string failure_text() override;

private:
    std::string_view bytes_;
};

}  // namespace archive
