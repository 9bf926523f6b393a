#include "platform/std/stdio_io.hpp"

#include <cerrno>
#include <cstring>

namespace archive {

namespace {

bool seek(std::FILE* file, std::uint64_t offset, int origin) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<long long>(offset), origin) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
#endif
}

bool tell(std::FILE* file, std::uint64_t& result) {
#if defined(_WIN32)
    long long position = _ftelli64(file);
#else
    off_t position = ftello(file);
#endif
    if (position < 0) return false;
    result = static_cast<std::uint64_t>(position);
    return true;
}

std::string errno_text(int error) { return error == 0 ? std::string("short read or write") : std::strerror(error); }

}  // namespace

stdio_input::~stdio_input() {
    if (file_) std::fclose(file_);
}

bool stdio_input::open(const std::string& path) {
    if (file_) std::fclose(file_);
    errno = 0;
    file_ = std::fopen(path.c_str(), "rb");
    error_ = errno;
    return file_ != nullptr;
}

bool stdio_input::size(std::uint64_t& result) {
    errno = 0;
    if (!file_ || !seek(file_, 0, SEEK_END) || !tell(file_, result)) {
        error_ = errno;
        return false;
    }
    return true;
}

bool stdio_input::read_at(std::uint64_t offset, void* buffer, std::size_t count) {
    errno = 0;
    if (!file_ || !seek(file_, offset, SEEK_SET)) {
        error_ = errno;
        return false;
    }
    if (std::fread(buffer, 1, count, file_) != count) {
        error_ = errno;
        return false;
    }
    return true;
}

std::string stdio_input::failure_text() { return errno_text(error_); }

stdio_output::~stdio_output() {
    if (file_) std::fclose(file_);
}

bool stdio_output::create(const std::string& path) {
    if (file_) std::fclose(file_);
    path_.clear();
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    error_ = errno;
    if (!file_) return false;
    path_ = path;
    return true;
}

bool stdio_output::write(const char* data, std::size_t count) {
    errno = 0;
    if (!file_ || std::fwrite(data, 1, count, file_) != count) {
        error_ = errno;
        return false;
    }
    return true;
}

bool stdio_output::close() {
    if (!file_) return true;
    errno = 0;
    int result = std::fclose(file_);
    file_ = nullptr;
    if (result != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

void stdio_output::remove() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!path_.empty()) std::remove(path_.c_str());
    path_.clear();
}

std::string stdio_output::failure_text() { return errno_text(error_); }

std::string stdio_output::refused_name_text() { return "not a bare file name"; }

}  // namespace archive
