#include "archive/win32_io.hpp"

#include <algorithm>

#include "corvid/error_text.hpp"

namespace archive {

bool win32_input::open(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return false;
    }
    file_.reset(h);
    return true;
}

bool win32_input::size(std::uint64_t& result) {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file_.get(), &size)) {
        error_ = ::GetLastError();
        return false;
    }
    result = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool win32_input::read_at(std::uint64_t offset, void* buffer, std::size_t count) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_.get(), distance, nullptr, FILE_BEGIN)) {
        error_ = ::GetLastError();
        return false;
    }
    auto bytes = static_cast<char*>(buffer);
    while (count != 0) {
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, max_read_block));
        DWORD got = 0;
        if (!::ReadFile(file_.get(), bytes, want, &got, nullptr)) {
            error_ = ::GetLastError();
            return false;
        }
        if (got == 0) {
            error_ = ERROR_HANDLE_EOF;
            return false;
        }
        bytes += got;
        count -= got;
    }
    return true;
}

std::string win32_input::failure_text() {
    return corvid::error_text(error_ != ERROR_SUCCESS ? error_ : ::GetLastError());
}

bool win32_output::create(const std::string& path) {
    file_.reset();
    path_.clear();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return false;
    }
    file_.reset(h);
    path_ = path;
    return true;
}

bool win32_output::write(const char* data, std::size_t count) {
    while (count != 0) {
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, max_read_block));
        DWORD written = 0;
        if (!::WriteFile(file_.get(), data, want, &written, nullptr)) {
            error_ = ::GetLastError();
            return false;
        }
        if (written == 0) {
            error_ = ERROR_WRITE_FAULT;
            return false;
        }
        data += written;
        count -= written;
    }
    return true;
}

bool win32_output::close() {
    HANDLE h = file_.release();
    if (h == INVALID_HANDLE_VALUE) return true;
    if (!::CloseHandle(h)) {
        error_ = ::GetLastError();
        return false;
    }
    return true;
}

void win32_output::remove() {
    file_.reset();
    if (!path_.empty()) ::DeleteFileA(path_.c_str());
    path_.clear();
}

std::string win32_output::failure_text() { return corvid::error_text(error_); }

std::string win32_output::refused_name_text() { return corvid::error_text(ERROR_INVALID_NAME); }

}  // namespace archive
