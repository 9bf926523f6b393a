#include "bootstrap/command_line_win32.hpp"

#include "corvid/log/log.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <winternl.h>

namespace bootstrap {

void reset_file_attributes(const std::string& path) noexcept {
    try {
        corvid::unique_file file = corvid::open_plain_file(
            corvid::unicode::to_wide(path, 0), FILE_WRITE_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
        if (!file) {
            if (::GetLastError() == ERROR_CANT_ACCESS_FILE)
                corvid::log::writef("Attributes of %s left as they are: a link or a file with other names",
                                    path.c_str());
            return;
        }
        FILE_BASIC_INFO basic{};  // zero times: unchanged
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    } catch (...) {
        // The reset is a convenience: the log switch goes in all the same.
    }
}

}  // namespace bootstrap
