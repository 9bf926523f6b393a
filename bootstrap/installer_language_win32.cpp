#include "bootstrap/installer_language_win32.hpp"

#include <utility>

#include "corvid/registry2/key.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace bootstrap {

registry_language_source::registry_language_source(std::wstring product_name)
    : uninstall_key_(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + std::move(product_name)) {}

std::string registry_language_source::uninstall_value(const std::wstring& name) {
    corvid::registry2::key root = corvid::registry2::key::open_root(HKEY_LOCAL_MACHINE);
    corvid::registry2::key product = corvid::registry2::key::open_subkey(root, uninstall_key_);
    // UTF-8, as the parameters it goes into.
    return corvid::unicode::to_utf8(product.get_wstring(name));
}

unsigned registry_language_source::system_default_language() { return ::GetSystemDefaultLangID(); }

std::string apply_installer_language(const std::string& parameters, const std::wstring& product_name,
                                     const log_line& log) {
    try {
        registry_language_source source(product_name);
        return apply_installer_language(parameters, source, log);
    } catch (...) {
        return parameters;
    }
}

}  // namespace bootstrap
