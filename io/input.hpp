// The input that reading an archive or a PE image is written against: a
// seekable source of bytes (an installer's file, a stub held in memory).
// Backends: memory (here), the C runtime (platform/std/stdio_io.hpp, for the
// packer and host tests) and Win32 (platform/win32/win32_io.hpp, for the
// bootstrapper). Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
