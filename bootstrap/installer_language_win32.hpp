// The installation language from the registry of this machine.
#pragma once

#include <string>

#include "bootstrap/installer_language.hpp"

namespace bootstrap {

// Reads the product's uninstall key: the product name under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall. No registry-view flag is given: a 32-bit
// build on 64-bit Windows reads the WOW6432Node view, where a 32-bit
// installer registers its product.
class registry_language_source : public language_source {
public:
    explicit registry_language_source(std::wstring product_name);
    std::string uninstall_value(const std::wstring& name) override;
    unsigned system_default_language() override;

private:
    std::wstring uninstall_key_;
};

// apply_installer_language over registry_language_source for the product.
std::string apply_installer_language(const std::string& parameters, const std::wstring& product_name,
                                     const log_line& log);

}  // namespace bootstrap
