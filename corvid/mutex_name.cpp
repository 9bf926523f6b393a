#include "corvid/mutex_name.hpp"

namespace corvid {

std::string machine_wide_mutex_name(const std::string& name, unsigned major_version) {
    std::string::size_type last = name.rfind('\\');
    if (major_version >= 5) return last == std::string::npos ? "Global\\" + name : name;
    return last == std::string::npos ? name : name.substr(last + 1);
}

}  // namespace corvid
