// remove_directory_tree by path: apart from the handle-based removal, so that
// a program that removes only what it holds does not carry it.
#include "corvid/handle.hpp"
#include "corvid/temp.hpp"

namespace corvid {

bool remove_directory_tree(const std::string& given) {
    // An empty path would name the current drive's root.
    if (given.empty()) return false;
    std::string path = given;
    if (path.back() != '\\' && path.back() != '/') path += '\\';
    // Opened without the separator, which would resolve a link given as the
    // tree itself; a drive root keeps it.
    std::string name = path.substr(0, path.size() - 1);
    if (name.size() == 2 && name[1] == ':') name = path;
    unique_file root(::CreateFileA(name.c_str(), held_folder_access, held_folder_sharing, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!root) return false;
    // Wine opens a Unix link's target even when asked for the link; the
    // parent's listing still tells a link from a folder. (A link that the
    // handle shows as one is removed as a link.)
    BY_HANDLE_FILE_INFORMATION info;
    WIN32_FIND_DATAA found;
    unique_find self(::FindFirstFileA(name.c_str(), &found));
    if (::GetFileInformationByHandle(root.get(), &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        self && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return remove_held_tree(root.get());
}

}  // namespace corvid
