#include "corvid/message_box.hpp"

#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid {

namespace {
bool silent = false;
}

void set_silent_mode(bool value) noexcept { silent = value; }

bool silent_mode() noexcept { return silent; }

void show_message_box(const std::string& caption, const std::string& text) noexcept {
    if (silent) return;
    try {
        ::MessageBoxW(nullptr, unicode::from_utf8(text).c_str(), unicode::from_utf8(caption).c_str(), MB_OK);
    } catch (...) {
        // Not UTF-8 (or no memory to convert it): shown as ANSI text.
        ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
    }
}

}  // namespace corvid
