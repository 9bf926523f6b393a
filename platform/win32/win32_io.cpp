#include "platform/win32/win32_io.hpp"

#include <algorithm>

#include "corvid/error_text.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"

#include <winternl.h>

namespace archive {

namespace {

// The wide functions take paths below 260 characters as they are; a longer
// full path (a bootstrapper started from deep inside a folder tree) is given
// the extended-length prefix, under which they take paths of any length.
std::wstring extended_path(std::wstring wide) {
    if (wide.size() < MAX_PATH) return wide;
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    if (wide.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + wide.substr(2);
    if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\') return L"\\\\?\\" + wide;
    return wide;
}

// The path as the wide functions take it; the last error is
// ERROR_INVALID_NAME for text that is not UTF-8.
bool wide_path(const std::string& path, std::wstring& wide) {
    try {
        wide = extended_path(corvid::unicode::from_utf8(path));
        return true;
    } catch (const std::exception&) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
}

HANDLE create_file(const std::string& path, DWORD access, DWORD disposition, DWORD share = FILE_SHARE_READ) {
    std::wstring wide;
    if (!wide_path(path, wide)) return INVALID_HANDLE_VALUE;
    return ::CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

void delete_file(const std::string& path) {
    std::wstring wide;
    if (wide_path(path, wide)) ::DeleteFileW(wide.c_str());
}

}  // namespace

own_file open_own_file() {
    own_file own;
    // GetModuleFileNameW truncates silently on older systems, so a result
    // that fills the buffer is taken as truncated and fetched again.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            own.error = ::GetLastError();
            return own;
        }
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        if (name.size() >= 32768) {
            own.error = ERROR_INSUFFICIENT_BUFFER;
            return own;
        }
        name.resize(name.size() * 2);
    }
    try {
        own.path = corvid::unicode::to_utf8(name);
    } catch (const std::exception&) {
        // Only shown: a name that is no text at all is shown as none.
    }
    own.handle.reset(::CreateFileW(extended_path(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!own.handle) own.error = ::GetLastError();
    return own;
}

bool win32_input::open(const std::string& path) {
    HANDLE h = create_file(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return false;
    }
    owned_.reset(h);
    file_ = h;
    return true;
}

bool win32_input::size(std::uint64_t& result) {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file_, &size)) {
        error_ = ::GetLastError();
        return false;
    }
    result = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool win32_input::read_at(std::uint64_t offset, void* buffer, std::size_t count) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_, distance, nullptr, FILE_BEGIN)) {
        error_ = ::GetLastError();
        return false;
    }
    auto bytes = static_cast<char*>(buffer);
    while (count != 0) {
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, max_read_block));
        DWORD got = 0;
        if (!::ReadFile(file_, bytes, want, &got, nullptr)) {
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
    return corvid::error_text_utf8(error_ != ERROR_SUCCESS ? error_ : ::GetLastError());
}

namespace {

bool same_path(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

HANDLE win32_output::open(const std::string& path, DWORD access, DWORD disposition, DWORD share) {
    if (folder_ == INVALID_HANDLE_VALUE) return create_file(path, access, disposition, share);
    // The path is the run's narrow text, UTF-8, like every path here: its
    // name was decoded from the archive's code page once, by the walk.
    std::wstring name;
    try {
        name = corvid::unicode::from_utf8(path.substr(path.find_last_of("\\/") + 1));
    } catch (const std::exception&) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const ULONG nt_disposition = disposition == CREATE_ALWAYS ? FILE_OVERWRITE_IF : FILE_OPEN;
    return corvid::open_in(folder_, name, access, share, nt_disposition, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY)
        .release();
}

bool win32_output::create(const std::string& path) {
    file_.reset();
    path_.clear();
    // A later entry of the same name replaces the file: its hold goes first.
    for (auto it = written_.begin(); it != written_.end();)
        it = same_path(it->first, path) ? written_.erase(it) : it + 1;
    HANDLE h = open(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_SHARE_READ);
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
    if (!file_) return true;
    // The file must not change between the digest check of its data and the
    // payload's start, yet the loader refuses a file that is open for
    // writing. So the writing handle (read sharing only) hands over to a
    // read-only one that shares reading only: a bridge that shares writing
    // (the only kind that can coexist with the writer) is opened first, the
    // writer closed, the final handle opened, the bridge closed. Renaming
    // and deleting are refused throughout; the final open fails if anyone
    // opened the file for writing meanwhile.
    corvid::unique_file bridge(open(path_, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!bridge) {
        error_ = ::GetLastError();
        return false;
    }
    if (!::CloseHandle(file_.release())) {
        error_ = ::GetLastError();
        return false;
    }
    corvid::unique_file held(open(path_, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ));
    if (!held) {
        error_ = ::GetLastError();
        return false;
    }
    bridge.reset();
    written_.emplace_back(path_, std::move(held));
    return true;
}

std::vector<corvid::unique_file> win32_output::take_written() {
    std::vector<corvid::unique_file> handles;
    for (auto& [path, handle] : written_) handles.push_back(std::move(handle));
    written_.clear();
    return handles;
}

void win32_output::remove() {
    file_.reset();
    if (path_.empty()) return;
    if (folder_ == INVALID_HANDLE_VALUE) {
        delete_file(path_);
    } else {
        corvid::unique_file doomed(
            open(path_, DELETE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (doomed) ::SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &disposition, sizeof(disposition));
    }
    path_.clear();
}

std::string win32_output::failure_text() { return corvid::error_text_utf8(error_); }

std::string win32_output::refused_name_text() { return corvid::error_text_utf8(ERROR_INVALID_NAME); }

}  // namespace archive
