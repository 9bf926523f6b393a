#include "bootstrap/command_line_win32.hpp"

#include "corvid/win32.hpp"

namespace bootstrap {

void reset_file_attributes(const std::string& path) noexcept {
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace bootstrap
