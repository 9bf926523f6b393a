// A log listener that appends lines to a UTF-8 text file shared by every
// process that logs under the same base name, rotating it by size.
#pragma once

#include <cstdint>
#include <string>

#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/listener.hpp"

namespace corvid::log {

// Files of base name B: the current file B.log.txt and the generations
// B.1.log.txt (oldest) to B.<generations>.log.txt (newest). Every process
// holds the machine-wide mutex "log-" + B (with "\" replaced by "_") while it
// appends a line or rotates, so lines from several processes never interleave
// and each line is appended whole (prefix, text, CR LF) at the current end.
// Any process may create that mutex and keep it, so a write waits for it at
// most lock_wait_ms; past that the line is appended without it (it may then
// land between another process's lines, but none is lost and nothing is
// rotated), and later writes of this listener take the mutex only when it is
// free at once.
class file : public listener {
public:
    // Opens B.log.txt (narrow name in the ANSI code page), creating it when
    // missing; a new, empty file gets the UTF-8 byte order mark. The file is
    // shared for reading, writing and deletion (or, where deletion sharing is
    // refused, reading and writing only). It is opened without following a
    // link and used only as a plain file of its own (see open_plain_file): a
    // link or a file with other names is never written. Throws
    // corvid::log::generic "CreateFile failed: <system text>" when the file
    // cannot be opened or is not such a file, corvid::unicode errors for a
    // name that the ANSI code page rejects, and corvid::exception when the
    // file lock cannot be created or waited for.
    explicit file(const std::string& base_name);
    // Closes the file, then the file lock.
    ~file() override;
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    // Appends prefix, text and CR LF. Before that, when the file holds at
    // least max_size bytes, it is rotated: a copy is kept as a generation
    // (see keep_generation) and the file is emptied to just the byte order
    // mark. If no copy can be kept the file is not emptied and the line is
    // appended all the same. The level is not used. Failures to write are
    // ignored (the line is lost); a failing file lock throws corvid::exception.
    // A file lock held elsewhere is waited for as the class comment says.
    void write(int level, const std::string& prefix, const std::string& text) override;

    // Rotation settings (defaults: 0xFFFFFFFF bytes, 0 generations). To be set
    // before the listener is registered: writes read them without a lock.
    void set_max_size(std::uint32_t bytes) noexcept { max_size_ = bytes; }
    void set_generations(std::uint32_t count) noexcept { generations_ = count; }
    std::uint32_t max_size() const noexcept { return max_size_; }
    std::uint32_t generations() const noexcept { return generations_; }
    const std::string& base_name() const noexcept { return base_; }

    // How long a write waits for the file lock held by another process.
    static constexpr std::uint32_t lock_wait_ms = 5000;

private:
    void rotate();

    real_mutex lock_;
    std::string base_;
    std::uint32_t max_size_ = 0xFFFFFFFF;
    std::uint32_t generations_ = 0;
    unique_file handle_;
    bool waits_ = true;
};

}  // namespace corvid::log
