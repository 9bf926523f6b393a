#include "corvid/temp.hpp"

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid {

namespace {

// Whether narrow text in the ANSI code page names exactly the wide path: a
// character that the code page cannot represent comes back as a substitute.
bool names_exactly(const std::string& narrow, const std::wstring& wide) {
    try {
        return unicode::to_wide(narrow, 0) == wide;
    } catch (const unicode::generic&) {
        return false;
    }
}

// The short (8.3) form of a directory path as narrow text, when the system
// has one that the ANSI code page represents exactly; empty otherwise.
std::string representable_short_form(const std::wstring& wide) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD count = ::GetShortPathNameW(wide.c_str(), buffer.data(), MAX_PATH);
    if (count == 0 || count >= MAX_PATH) return std::string();
    buffer.resize(count);
    std::string narrow;
    try {
        narrow = unicode::to_narrow(buffer, 0, true);
    } catch (const unicode::generic&) {
        return std::string();
    }
    if (narrow.size() >= MAX_PATH || !names_exactly(narrow, buffer)) return std::string();
    return narrow;
}

}  // namespace

std::string get_temp_path() {
    char buffer[MAX_PATH];
    DWORD count = ::GetTempPathA(MAX_PATH, buffer);
    if (count == 0 || count > MAX_PATH) return std::string();
    std::string narrow(buffer, count);

    // A temporary directory under a user name that the ANSI code page cannot
    // represent (Cyrillic on a Western system) comes back with substitutes,
    // and every narrow path built on it would name nothing. Its short form
    // consists of characters the code page has, where the volume keeps one.
    wchar_t wide_buffer[MAX_PATH + 1];
    DWORD wide_count = ::GetTempPathW(MAX_PATH + 1, wide_buffer);
    if (wide_count == 0 || wide_count > MAX_PATH) return narrow;
    std::wstring wide(wide_buffer, wide_count);
    if (names_exactly(narrow, wide)) return narrow;
    std::string short_form = representable_short_form(wide);
    if (short_form.empty()) return narrow;
    if (short_form.back() != '\\') short_form += '\\';
    return short_form;
}

namespace {

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

void delete_file(const std::string& path, DWORD attributes) {
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
}

}  // namespace

bool remove_directory_tree(const std::string& given) {
    std::string path = given;
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';

    // A link given as the tree itself is removed as a link, never emptied.
    // Its attributes are asked for without the separator, which would
    // resolve the link and report its target instead.
    DWORD own = ::GetFileAttributesA(path.substr(0, path.size() - 1).c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT))
        return ::RemoveDirectoryA(path.c_str()) != 0;

    WIN32_FIND_DATAA entry;
    unique_find listing(::FindFirstFileA((path + "*").c_str(), &entry));
    if (!listing) return false;
    do {
        const std::string entry_path = path + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (is_dot_or_dotdot(entry.cFileName)) continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // Junction or directory symlink: remove the link only.
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                    ::SetFileAttributesA(entry_path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::RemoveDirectoryA(entry_path.c_str());
            } else {
                remove_directory_tree(entry_path);
            }
        } else {
            delete_file(entry_path, entry.dwFileAttributes);
        }
    } while (::FindNextFileA(listing.get(), &entry));
    listing.reset();

    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesA(path.c_str(), own & ~FILE_ATTRIBUTE_READONLY);
    return ::RemoveDirectoryA(path.c_str()) != 0;
}

}  // namespace corvid
