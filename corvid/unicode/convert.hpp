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

// The system's code pages that the symbolic code page numbers stand for.
struct system_codepages {
    std::uint32_t ansi;         // 0, CP_ACP
    std::uint32_t oem;          // 1, CP_OEMCP
    std::uint32_t mac;          // 2, CP_MACCP
    std::uint32_t thread_ansi;  // 3, CP_THREAD_ACP
};

// The code page that a conversion given `codepage` actually converts with:
// the symbolic numbers 0 to 3 resolve to the system's code pages, any other
// number is itself. Whether a conversion may pass flags is decided on this
// result: on a system whose ANSI code page is UTF-8 (65001, the "Use Unicode
// UTF-8 for worldwide language support" setting) a conversion with code page
// 0 is a UTF-8 conversion, and the system refuses the flags there.
inline std::uint32_t resolve_codepage(std::uint32_t codepage, const system_codepages& system) noexcept {
    switch (codepage) {
    case 0: return system.ansi;
    case 1: return system.oem;
    case 2: return system.mac;
    case 3: return system.thread_ansi;
    default: return codepage;
    }
}

// This system's code pages, as the conversions below resolve them.
system_codepages current_system_codepages() noexcept;

// Narrow text in codepage (0 = the system's ANSI code page) to UTF-16. Empty
// input gives empty output without looking at the code page. Invalid byte
// sequences raise unmappable_character unless the code page, resolved as
// resolve_codepage does, is restricted (then the system substitutes). Never returns a partial result.
std::wstring to_wide(const std::string& text, std::uint32_t codepage);

// UTF-16 to narrow text in codepage. In strict mode a character the code page
// cannot represent raises unmappable_character; otherwise it becomes the code
// page's default character. Restricted code pages (after resolve_codepage)
// never report replacements.
std::string to_narrow(const std::wstring& text, std::uint32_t codepage, bool strict);

// UTF-16 to UTF-8 and back, both strict: an unpaired surrogate, or a byte
// sequence that is not UTF-8, raises unmappable_character; nothing is ever
// replaced. UTF-8 is the narrow text of the bootstrapper's run, so that no
// character is lost on the way from the system to the payload.
std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& text);

// Narrow text in the system's ANSI code page to UTF-8, strictly: a byte
// sequence that the code page does not define raises unmappable_character,
// also where to_wide would let the system substitute (an ANSI code page of
// UTF-8 or GB18030).
std::string ansi_to_utf8(const std::string& text);

}  // namespace corvid::unicode
