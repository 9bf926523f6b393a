// Code-page conversion between narrow text in a Windows code page and UTF-16.
#pragma once

#include <cstdint>
#include <string>

#include "corvid/exception.hpp"

namespace corvid::unicode {

// Any other failure of a conversion; the catch-all of this module.
class generic : public corvid::exception {
public:
    explicit generic(const std::string& message) : corvid::exception(message) {
        extend_type_path("unicode");
    }
};

// The code page is not installed or not valid.
class invalid_codepage : public generic {
public:
    explicit invalid_codepage(const std::string& message) : generic(message) {
        extend_type_path("invalid_codepage");
    }
};

// The text holds a character or sequence that the other side cannot represent.
class unmappable_character : public generic {
public:
    explicit unmappable_character(const std::string& message) : generic(message) {
        extend_type_path("unmappable_character");
    }
};

// The conversion's output did not fit the buffer prepared for it.
class out_of_memory : public generic {
public:
    explicit out_of_memory(const std::string& message) : generic(message) {
        extend_type_path("out_of_memory");
    }
};

// False for the code pages whose conversions take no flags and report no
// replaced characters (42, 50221, 50222, 50225, 50227, 50229, 52936, 54936,
// 57002-57011, 65000, 65001), true for every other number.
bool flags_allowed(std::uint32_t codepage) noexcept;

// Narrow text in codepage (0 = the system's ANSI code page) to UTF-16. Empty
// input gives empty output without looking at the code page. Invalid byte
// sequences raise unmappable_character unless the code page is restricted
// (then the system substitutes). Never returns a partial result.
std::wstring to_wide(const std::string& text, std::uint32_t codepage);

// UTF-16 to narrow text in codepage. In strict mode a character the code page
// cannot represent raises unmappable_character; otherwise it becomes the code
// page's default character. Restricted code pages never report replacements.
std::string to_narrow(const std::wstring& text, std::uint32_t codepage, bool strict);

}  // namespace corvid::unicode
