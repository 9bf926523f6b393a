#include "bootstrap/command_line_win32.hpp"

#include "corvid/log/log.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <winternl.h>

namespace bootstrap {

void reset_file_attributes(const std::string& path) noexcept {
    try {
        const std::wstring wide = corvid::unicode::from_utf8(path);
        corvid::unique_file file = corvid::open_plain_file(
            wide, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
        if (!file) {
            if (::GetLastError() == ERROR_CANT_ACCESS_FILE)
                corvid::log::write(L"Attributes of " + wide + L" left as they are: a link or a file with other names");
            return;
        }
        FILE_BASIC_INFO basic{};  // zero times: unchanged
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    } catch (...) {
        // The reset is a convenience: the log switch goes in all the same
        // (and a path that is not UTF-8 names no file of ours).
    }
}

}  // namespace bootstrap
