// Input and output backends over the C runtime's stdio: the packer's and the
// host tests' way to reach files, on Linux and on Windows alike.
// Portable: no Windows headers.
#pragma once

#include <cstdio>
#include <string>

#include "archive/output.hpp"
#include "io/input.hpp"

namespace archive {

// A file opened for binary reading. open() reports failure; failure_text
// then names the reason.
class stdio_input final : public seekable_input {
public:
    stdio_input() = default;
    ~stdio_input() override;
    stdio_input(const stdio_input&) = delete;
    stdio_input& operator=(const stdio_input&) = delete;

    bool open(const std::string& path);
    bool size(std::uint64_t& result) override;
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override;
    std::string failure_text() override;

private:
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

// Files created for binary writing.
class stdio_output final : public output_sink {
public:
    stdio_output() = default;
    ~stdio_output() override;
    stdio_output(const stdio_output&) = delete;
    stdio_output& operator=(const stdio_output&) = delete;

    bool create(const std::string& path) override;
    bool write(const char* data, std::size_t count) override;
    bool close() override;
    void remove() override;
    std::string failure_text() override;
    std::string refused_name_text() override;

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    int error_ = 0;
};

}  // namespace archive
