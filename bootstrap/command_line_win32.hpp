// The Windows side of the payload's command line.
#pragma once

#include <string>

namespace bootstrap {

// Sets the file's attributes to normal (clearing read-only, hidden and the
// like) so that a log left by an earlier run can be overwritten. The path is
// UTF-8, the run's narrow text. A missing file, as on the first run, is
// normal, so the outcome is not reported. Meant as the attribute reset of
// add_msi_log_switch.
void reset_file_attributes(const std::string& path) noexcept;

}  // namespace bootstrap
