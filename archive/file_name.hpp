// Which file names extraction accepts. Portable: no Windows headers.
#pragma once

#include <array>
#include <string_view>

namespace archive {

namespace detail {

inline char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline bool equal_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

inline bool is_device_name(std::string_view name) noexcept {
    // The device is named by the part before the first dot, blanks at its end
    // ignored ("nul .txt" is NUL too).
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> fixed = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : fixed)
        if (equal_ignoring_case(stem, device)) return true;
    if (stem.size() < 4 || !(equal_ignoring_case(stem.substr(0, 3), "COM") || equal_ignoring_case(stem.substr(0, 3), "LPT")))
        return false;
    // A port's digit: 1-9 (COM0 and LPT0 name no port; the system's naming
    // rules list them no more), or a superscript 1-3 in code page 1252 or
    // UTF-8, which the system counts as a digit too.
    const std::string_view digit = stem.substr(3);
    const auto c = static_cast<unsigned char>(digit[0]);
    if (digit.size() == 1) return (c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
    return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace detail

// True for a bare file name that names a file inside the directory it is
// joined to and only there: not empty, not "." or "..", no "\", "/" or ":",
// none of the characters Windows refuses in names (< > " | ? * and the
// control characters 0x01-0x1F), no trailing dot or blank (Windows drops
// them, so the name written would differ from the name recorded), and not a
// device name: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM and LPT followed by
// a digit 1-9 or a superscript digit 1-3 ("COM¹"), in any case, with or
// without an extension.
//
// The check is on bytes. The bootstrapper gives it names already decoded
// from the ANSI code page into UTF-8, where no byte of a multi-byte character
// is ASCII: a trail byte 0x5C of a double-byte character (as in 表 in code
// page 932) is no backslash there. On raw ANSI bytes (the packer, the host
// tools) such a name is refused, which is safe.
inline bool is_bare_file_name(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return false;
        switch (c) {
            case '\\': case '/': case ':': case '<': case '>': case '"': case '|': case '?': case '*':
                return false;
            default:
                break;
        }
    }
    if (name.back() == '.' || name.back() == ' ') return false;
    return !detail::is_device_name(name);
}

}  // namespace archive
