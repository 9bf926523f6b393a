// Which file names extraction accepts. Portable: no Windows headers.
#pragma once

#include <string_view>

namespace archive {

// True for a bare file name that names a file inside the directory it is
// joined to and only there: not empty, not "." or "..", no "\", "/" or ":",
// none of the characters Windows refuses in names (< > " | ? * and control
// characters), no trailing dot or blank (Windows drops them, so the name
// written would differ from the name recorded), and not a device name (CON,
// PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9, in any case, with or
// without an extension). In a double-byte code page a trail byte that equals
// "\" makes a name refused as well: safe, and such names do not occur in
// archives.
bool is_bare_file_name(std::string_view name) noexcept;

}  // namespace archive
