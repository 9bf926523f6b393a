// The user's temporary directory and recursive removal of a directory.
#pragma once

#include <string>

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
// "\" or "/" (kept as the separator) or with neither ("\" is added).
// Read-only, hidden and system files are deleted too. A directory link
// (junction or symbolic link, i.e. a reparse point) is removed as a link: its
// target and everything in it stay untouched, so nothing outside the given
// tree is ever deleted. Whatever cannot be deleted (a file open elsewhere)
// stays, and every directory above it then remains as well (false).
bool remove_directory_tree(const std::string& path);

}  // namespace corvid
