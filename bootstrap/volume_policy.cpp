#include "bootstrap/volume_policy.hpp"

namespace bootstrap {

std::string unprotected_volume_reason(const volume_facts& facts) {
    if (!facts.known) return "a volume whose access permissions cannot be checked";
    if (facts.remote) return "a network share";
    if (!facts.persistent_acls)
        return "a volume that keeps no access permissions" +
               (facts.file_system.empty() ? std::string() : " (" + facts.file_system + ")");
    return std::string();
}

}  // namespace bootstrap
