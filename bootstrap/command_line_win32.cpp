#include "bootstrap/command_line_win32.hpp"

#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace bootstrap {

void reset_file_attributes(const std::string& path) noexcept {
    try {
        ::SetFileAttributesW(corvid::unicode::from_utf8(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    } catch (...) {
        // Not UTF-8: it names no file of ours.
    }
}

}  // namespace bootstrap
