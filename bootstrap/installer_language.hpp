// The payload's installation language: a "/L<LCID> " switch put in front of
// the payload's parameters, taken from the registration of an installed copy
// of the product. Portable: the registry and the system language come in
// through language_source, log lines through a callback.
#pragma once

#include <functional>
#include <string>

namespace bootstrap {

// The LCID text for a language name of the "InstallLang" value: an exact,
// case-sensitive match of the whole name against a fixed table; "1033" for
// every name not in it.
std::string language_lcid(const std::string& name);

// Where the language comes from.
class language_source {
public:
    virtual ~language_source() = default;
    // The text of the value `name` in the product's uninstall key, the key
    // being opened and closed for this one read. Throws on every failure: key
    // or value absent, a value that is not text, access refused.
    virtual std::string uninstall_value(const std::wstring& name) = 0;
    // The system's default language identifier (0x0409 for US English).
    virtual unsigned system_default_language() = 0;
};

using log_line = std::function<void(const std::string&)>;

// `parameters` with "/L", an LCID and one blank put in front when a language
// applies, otherwise unchanged. Never throws.
//
// First "InstallerLanguage" is taken as it is stored. When it is exactly
// "1033", "en_US_UK" is empty or absent and the system's default language is
// not US English, it becomes "2057" (British English) and `log` gets the
// line «Install Language set to "2057"». Failing that (or when the value is
// absent or empty), "InstallLang" is turned into a number by language_lcid.
// Nothing is added when the parameters hold "/L" anywhere already (a plain,
// case-sensitive search): a switch from the command line or the archive is
// never overridden. Every failure of a read ends only its own step.
std::string apply_installer_language(std::string parameters, language_source& source, const log_line& log);

}  // namespace bootstrap
