// The Windows side of the payload's command line.
#pragma once

#include <string>

namespace bootstrap {

// Sets the file's attributes to normal (clearing read-only, hidden and the
// like) so that a log left by an earlier run can be overwritten. The path is
// UTF-8, the run's narrow text. A missing file, as on the first run, is
// normal, so the outcome is not reported. The file is opened without
// following a link, and its attributes are changed through that handle only
// when it is a plain file of its own (corvid::open_plain_file): a link, or a
// file with other names, shares its attributes with a file elsewhere, and is
// left as it is with a log line saying so. Meant as the attribute reset of
// add_msi_log_switch.
void reset_file_attributes(const std::string& path) noexcept;

}  // namespace bootstrap
