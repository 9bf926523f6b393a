#include "corvid/log/file.hpp"

#include "corvid/error_text.hpp"
#include "corvid/log/generic.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/win32.hpp"

namespace corvid::log {

namespace {

class win32_rotation : public rotation_operations {
public:
    void remove(const std::string& path) override { ::DeleteFileA(path.c_str()); }
    copy_result copy_if_absent(const std::string& from, const std::string& to) override {
        if (::CopyFileA(from.c_str(), to.c_str(), TRUE)) return copy_result::copied;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? copy_result::target_exists
                                                                            : copy_result::failed;
    }
    bool move_replacing(const std::string& from, const std::string& to) override {
        return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    }
};

HANDLE open_log(const std::string& path, DWORD sharing) {
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes all of data at the file's current position; a failure drops the rest.
void write_all(HANDLE handle, const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
}

void append(HANDLE handle, const std::string& bytes) {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(handle, zero, nullptr, FILE_END)) return;
    write_all(handle, bytes.data(), bytes.size());
}

}  // namespace

file::file(const std::string& base_name) : lock_(file_lock_name(base_name)), base_(base_name) {
    const std::string path = current_file_name(base_);
    HANDLE handle = open_log(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
        handle = open_log(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            throw generic("CreateFile failed: " + error_text(error));
        }
    }
    handle_.reset(handle);
    // Under the file lock: several processes may open a new file at once, and
    // exactly one of them must write the byte order mark.
    scope guard(lock_);
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle_.get(), &size) && size.QuadPart == 0) append(handle_.get(), byte_order_mark);
}

file::~file() = default;

void file::rotate() {
    win32_rotation operations;
    if (!keep_generation(base_, generations_, operations)) return;
    LARGE_INTEGER zero{};
    if (::SetFilePointerEx(handle_.get(), zero, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_.get()))
        append(handle_.get(), byte_order_mark);
}

void file::write(int /*level*/, const std::string& prefix, const std::string& text) {
    const std::string block = line_block(prefix, text);
    scope guard(lock_);
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle_.get(), &size) && static_cast<unsigned long long>(size.QuadPart) >= max_size_)
        rotate();
    append(handle_.get(), block);
}

}  // namespace corvid::log
