#include "archive/file_name.hpp"

#include <array>

namespace archive {

namespace {

char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool is_device_name(std::string_view name) noexcept {
    // The device is named by the part before the first dot, blanks at its end
    // ignored ("nul .txt" is NUL too).
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> fixed = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : fixed)
        if (equal_ignoring_case(stem, device)) return true;
    if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9')
        return equal_ignoring_case(stem.substr(0, 3), "COM") || equal_ignoring_case(stem.substr(0, 3), "LPT");
    return false;
}

}  // namespace

bool is_bare_file_name(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20) return false;
        switch (c) {
            case '\\': case '/': case ':': case '<': case '>': case '"': case '|': case '?': case '*':
                return false;
            default:
                break;
        }
    }
    if (name.back() == '.' || name.back() == ' ') return false;
    return !is_device_name(name);
}

}  // namespace archive
