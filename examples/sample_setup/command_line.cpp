#include "examples/sample_setup/command_line.hpp"

namespace sample_setup {

namespace {

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; }

// A language identifier as the setup accepts it: 1 to 5 decimal digits with
// a value from 1 to 65535. The check also keeps blanks and quotes, and so
// further properties, out of the msiexec command line.
bool is_language_number(const std::wstring& s) {
    if (s.empty() || s.size() > 5) return false;
    unsigned long value = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + unsigned(c - L'0');
    }
    return value >= 1 && value <= 0xFFFF;
}

}  // namespace

std::vector<std::wstring> split_arguments(const std::wstring& text) {
    std::vector<std::wstring> args;
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && is_blank(text[i])) ++i;
        if (i == n) break;
        std::wstring arg;
        bool quoted = false;
        while (i < n && (quoted || !is_blank(text[i]))) {
            if (text[i] == L'\\') {
                std::size_t count = 0;
                while (i < n && text[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (i < n && text[i] == L'"') {
                    arg.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        arg += L'"';
                        ++i;
                    }
                    // An even count leaves the quote to the next round.
                } else {
                    arg.append(count, L'\\');
                }
            } else if (text[i] == L'"') {
                if (quoted && i + 1 < n && text[i + 1] == L'"') {
                    arg += L'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += text[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

setup_options parse_setup_command_line(const std::wstring& text) {
    setup_options options;
    for (const std::wstring& arg : split_arguments(text)) {
        wchar_t letter = arg.size() >= 2 && arg[0] == L'/' ? upper(arg[1]) : L'\0';
        if (letter == L'S' && arg.size() == 2) {
            options.silent = true;
        } else if (letter == L'V') {
            std::wstring value = arg.substr(2);
            if (value.empty()) continue;
            if (!options.installer_text.empty()) options.installer_text += L' ';
            options.installer_text += value;
        } else if (letter == L'L') {
            std::wstring value = arg.substr(2);
            if (is_language_number(value)) {
                if (options.language.empty()) options.language = value;
            } else {
                options.rejected_languages.push_back(value);
            }
        } else {
            options.unknown.push_back(arg);
        }
    }
    return options;
}

std::wstring msiexec_arguments(const std::wstring& package_path, const setup_options& options) {
    std::wstring result = L"/i \"" + package_path + L"\" " + (options.silent ? L"/qn" : L"/qb");
    if (!options.installer_text.empty()) result += L" " + options.installer_text;
    if (!options.language.empty()) {
        result += L" ";
        result += language_property;
        result += L"=" + options.language;
    }
    return result;
}

}  // namespace sample_setup
