// The two code-page name tables: aliases (lower-case ASCII letters and digits)
// to code page numbers, and code page numbers to their Windows display names.
// Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace corvid::unicode {

// 104 distinct aliases; -1 names no code page ("ascii", "usascii"). Filled
// during static initialisation, before main or WinMain runs, and never
// changed afterwards. Not to be read from another translation unit's static
// initialiser (initialisation order across units is unspecified).
extern const std::map<std::string, std::int32_t> codepage_aliases;

// 140 display names, spelled as Windows spells them (case included); 50220
// and 50222 share "iso-2022-jp". Same lifetime as codepage_aliases.
extern const std::map<std::int32_t, std::string> codepage_names;

}  // namespace corvid::unicode
