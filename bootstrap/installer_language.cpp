#include "bootstrap/installer_language.hpp"

#include <utility>

namespace bootstrap {

namespace {

struct language_row {
    const char* name;
    const char* lcid;
};

constexpr language_row language_table[] = {
    {"Czech", "1029"},    {"Danish", "1030"},    {"German", "1031"},        {"Greek", "1032"},
    {"English", "1033"},  {"Spanish", "1034"},   {"Finnish", "1035"},       {"French", "1036"},
    {"Italian", "1040"},  {"Japanese", "1041"},  {"Dutch", "1043"},         {"Norwegian", "1044"},
    {"Polish", "1045"},   {"Russian", "1049"},   {"Swedish", "1053"},       {"Chinese (PRC)", "2052"},
    {"Portugese (Portugal)", "2070"},
};

constexpr unsigned us_english = 0x0409;

bool has_language_switch(const std::string& parameters) { return parameters.find("/L") != std::string::npos; }

// A log line that cannot be written does not cost the user the language.
void write_log(const log_line& log, const std::string& line) {
    if (!log) return;
    try {
        log(line);
    } catch (...) {
    }
}

}  // namespace

std::string language_lcid(const std::string& name) {
    for (const language_row& row : language_table)
        if (name == row.name) return row.lcid;
    return "1033";
}

std::string apply_installer_language(std::string parameters, language_source& source, const log_line& log) {
    // The stored LCID, with the British English correction.
    try {
        std::string language = source.uninstall_value(L"InstallerLanguage");
        std::string marker;
        try {
            marker = source.uninstall_value(L"en_US_UK");
        } catch (...) {
        }
        if (marker.empty() && language == "1033" && source.system_default_language() != us_english) {
            language = "2057";
            write_log(log, "Install Language set to \"2057\"");
        }
        if (!language.empty() && !has_language_switch(parameters))
            parameters = "/L" + language + " " + parameters;
    } catch (...) {
    }

    // The language name, when nothing has set a switch yet.
    try {
        if (!has_language_switch(parameters)) {
            std::string name = source.uninstall_value(L"InstallLang");
            if (!name.empty()) parameters = "/L" + language_lcid(name) + " " + parameters;
        }
    } catch (...) {
    }
    return parameters;
}

}  // namespace bootstrap
