// The user's temporary directory and recursive removal of a directory.
#pragma once

#include <string>

#include "corvid/unicode/convert.hpp"

namespace corvid {

// The temporary directory as narrow text (ANSI code page) with the trailing
// backslash the system gives it, or the empty text when the system gives no
// path or one that does not fit 260 characters. When the ANSI form does not
// name the directory exactly (a character the code page lacks), the
// directory's short (8.3) form is given instead, if it has one that the code
// page represents; otherwise the ANSI form as it is. Never fails otherwise.
std::string get_temp_path();

// Deletes the directory's files and subdirectories and then the directory
// itself; true when the directory itself was removed. The path may end with
// "\" or "/" or with neither; an empty path yields false and deletes nothing.
// Read-only, hidden and system files are deleted too. The tree is worked
// through handles: each folder is opened as itself (never through a link),
// checked through that handle to be a real folder, held so that it cannot be
// renamed meanwhile, and listed and emptied relative to the handle; an entry
// is changed only after its handle shows it to be the very object that the
// listing named. A link (junction or symbolic link, i.e. a reparse point) is
// removed as a link, or left in place; no attribute is changed and nothing is
// deleted through it, so nothing outside the given tree is ever touched, even
// when the tree is being rearranged during the call. Whatever cannot be
// deleted (a file open elsewhere) stays, and every directory above it then
// remains as well (false).
bool remove_directory_tree(const std::wstring& path);
// The same for a path in the ANSI code page (false for text it does not
// define).
inline bool remove_directory_tree(const std::string& path) {
    std::wstring wide;
    try {
        wide = unicode::to_wide(path, 0);
    } catch (const unicode::generic&) {
        return false;
    }
    return remove_directory_tree(wide);
}

// The security descriptor (SDDL) of a private working folder. Elevated:
// owned by Administrators, full access for Administrators and SYSTEM only.
// Not elevated: owned by the user (user_sid, in SDDL form), full access for
// the user, Administrators and SYSTEM. Protected (nothing is inherited from
// the folder above) and inherited by everything created inside it, so no
// other account, and no unelevated process of the user when the run is
// elevated, can write, rename or delete anything in it.
std::wstring private_directory_sddl(bool elevated, const std::wstring& user_sid);

// Whether this process runs with an elevated (full administrator) token.
bool process_is_elevated();

// Creates `path` anew with private_directory_sddl for this process. A file,
// folder or link of that name that is already there is not trusted: it is
// removed with remove_directory_tree and the folder created again (a few
// times, should something keep putting it back). False when no fresh folder
// of our own could be had; GetLastError then tells why.
bool create_private_directory(const std::wstring& path);
// The same for a path in the ANSI code page.
inline bool create_private_directory(const std::string& path) {
    std::wstring wide;
    try {
        wide = unicode::to_wide(path, 0);
    } catch (const unicode::generic&) {
        return false;
    }
    return create_private_directory(wide);
}

}  // namespace corvid
