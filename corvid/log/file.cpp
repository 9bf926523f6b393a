#include "corvid/log/file.hpp"

#include "corvid/error_text.hpp"
#include "corvid/log/generic.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <winternl.h>

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

// Never through a link: a log that names another file (a hard link, a
// symbolic link) is not written, whoever planted it.
unique_file open_log(const std::string& path, ULONG sharing) {
    return open_plain_file(unicode::to_wide(path, 0), GENERIC_WRITE, sharing, FILE_OPEN_IF);
}

// Writes all of data at the end of the file, each piece appended at the end
// as it is then, so that a write made without the file lock still loses no
// line of another process; a failure drops the rest.
void append(HANDLE handle, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        OVERLAPPED at_end{};
        at_end.Offset = at_end.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, &at_end) || written == 0) return;
        data += written;
        size -= written;
    }
}

// The file lock for one write, given up on after wait_ms: past it the write
// goes ahead without the lock.
class bounded_hold {
public:
    bounded_hold(real_mutex& lock, DWORD wait_ms) : lock_(lock), owned_(lock.lock(wait_ms)) {}
    ~bounded_hold() {
        try {
            if (owned_) lock_.unlock();
        } catch (...) {
            // Ownership ends with the thread.
        }
    }
    bounded_hold(const bounded_hold&) = delete;
    bounded_hold& operator=(const bounded_hold&) = delete;
    bool owned() const noexcept { return owned_; }

private:
    real_mutex& lock_;
    bool owned_;
};

}  // namespace

file::file(const std::string& base_name) : lock_(file_lock_name(base_name)), base_(base_name) {
    const std::string path = current_file_name(base_);
    handle_ = open_log(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!handle_) handle_ = open_log(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!handle_) {
        const DWORD error = ::GetLastError();
        throw generic("CreateFile failed: " + error_text(error));
    }
    // Several processes may open a new file at once, and exactly one of them
    // must write the byte order mark: an empty file is looked at again under
    // the file lock.
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_.get(), &size) || size.QuadPart != 0) return;
    bounded_hold hold(lock_, lock_wait_ms);
    if (!hold.owned()) waits_ = false;
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
    bounded_hold hold(lock_, (waits_ ? lock_wait_ms : 0));
    if (hold.owned()) {
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(handle_.get(), &size) && static_cast<unsigned long long>(size.QuadPart) >= max_size_)
            rotate();
    } else {
        // Held elsewhere for longer than any line takes: whoever holds it will
        // not let go soon, and the writes that follow do not wait for it.
        waits_ = false;
    }
    append(handle_.get(), block);
}

}  // namespace corvid::log
