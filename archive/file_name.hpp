// Which file names extraction accepts. Portable: no Windows headers.
#pragma once

#include <array>
#include <string_view>
#include <type_traits>

namespace archive {

namespace detail {

template <class Char>
Char upper(Char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<Char>(c - 'a' + 'A') : c;
}

template <class Char>
bool equal_ignoring_case(std::basic_string_view<Char> a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != static_cast<Char>(upper(b[i]))) return false;
    return true;
}

// The digit of a port name: 1-9, or a superscript 1-3 (U+00B9, U+00B2,
// U+00B3), in the name's own encoding. COM0 and LPT0 name no port (the
// system's naming rules list them no more).
inline bool is_port_digit(std::string_view digit) noexcept {
    if (digit.size() == 1) {
        const auto c = static_cast<unsigned char>(digit[0]);
        return (c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
    }
    return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

inline bool is_port_digit(std::u16string_view digit) noexcept {
    return digit.size() == 1 && ((digit[0] >= u'1' && digit[0] <= u'9') || digit[0] == u'\u00B9' ||
                                 digit[0] == u'\u00B2' || digit[0] == u'\u00B3');
}

template <class Char>
bool is_device_name(std::basic_string_view<Char> name) noexcept {
    // The device is named by the part before the first dot, blanks at its end
    // ignored ("nul .txt" is NUL too).
    std::basic_string_view<Char> stem = name.substr(0, name.find(Char('.')));
    while (!stem.empty() && stem.back() == Char(' ')) stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> fixed = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : fixed)
        if (equal_ignoring_case(stem, device)) return true;
    if (stem.size() < 4) return false;
    const std::basic_string_view<Char> port = stem.substr(0, 3);
    return (equal_ignoring_case(port, "COM") || equal_ignoring_case(port, "LPT")) && is_port_digit(stem.substr(3));
}

template <class Char>
bool is_bare(std::basic_string_view<Char> name) noexcept {
    if (name.empty() || (name.size() <= 2 && name.find_first_not_of(Char('.')) == name.npos)) return false;
    for (Char c : name) {
        if (static_cast<std::make_unsigned_t<Char>>(c) < 0x20) return false;
        switch (c) {
            case '\\': case '/': case ':': case '<': case '>': case '"': case '|': case '?': case '*':
                return false;
            default:
                break;
        }
    }
    if (name.back() == Char('.') || name.back() == Char(' ')) return false;
    return !is_device_name(name);
}

}  // namespace detail

// True for a bare file name that names a file inside the directory it is
// joined to and only there: not empty, not "." or "..", no "\", "/" or ":",
// none of the characters Windows refuses in names (< > " | ? * and the
// control characters 0x01-0x1F), no trailing dot or blank (Windows drops
// them, so the name written would differ from the name recorded), and not a
// device name: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM and LPT followed by
// a digit 1-9 or a superscript digit 1-3 (the system counts "COM¹" as a
// port), in any case, with or without an extension.
//
// This form checks bytes, without knowing their code page: the superscripts
// are refused in their Latin-1 (code page 1252) and UTF-8 forms, and in a
// double-byte code page a trail byte that equals "\" refuses the name as
// well. That is safe for the packer and the host tools; the bootstrapper
// checks the name's UTF-16 form instead, where neither doubt arises.
inline bool is_bare_file_name(std::string_view name) noexcept { return detail::is_bare(name); }

// The same rules on the UTF-16 form of a name (the name as the system sees
// it once decoded from its code page).
inline bool is_bare_file_name(std::u16string_view name) noexcept { return detail::is_bare(name); }

}  // namespace archive
