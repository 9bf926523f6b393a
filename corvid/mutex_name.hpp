// Naming rule for machine-wide named mutexes. Portable so that both branches
// of the rule are tested on any system.
#pragma once

#include <string>

namespace corvid {

// On systems with kernel object namespaces (major version 5 and later) a name
// without any backslash is put into the machine-wide "Global\" namespace and
// a name holding a backslash is used as given; older systems have no
// namespaces, so everything up to the last backslash is cut off.
std::string machine_wide_mutex_name(const std::string& name, unsigned major_version);

}  // namespace corvid
