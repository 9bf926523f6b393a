#include "corvid/temp.hpp"

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"

namespace corvid {

std::string get_temp_path() {
    char buffer[MAX_PATH];
    DWORD count = ::GetTempPathA(MAX_PATH, buffer);
    if (count == 0 || count > MAX_PATH) return std::string();
    return std::string(buffer, count);
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
