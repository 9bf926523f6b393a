// The output side of the archive's walk: the interface that each platform's
// backend implements (platform/std/stdio_io.hpp for the C runtime,
// platform/win32/win32_io.hpp for the bootstrapper) and the archive's own
// rule for the names it accepts.
// Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <string>

#include "archive/file_name.hpp"

namespace archive {

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

}  // namespace archive
