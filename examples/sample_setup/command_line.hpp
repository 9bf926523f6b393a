// The command line of the sample setup program, and the Windows Installer
// command line it turns into. Portable: no Windows API.
//
// The setup takes
//   /V<text> or /V"<text>"  text for the Windows Installer (properties and
//                           msiexec switches); inside quotes \" stands for a
//                           quote of the text. Several /V switches are joined
//                           with one blank, in order.
//   /L<number>              the installation language, a decimal language
//                           identifier from 1 to 65535; the first valid one
//                           counts, other values are rejected.
//   /S                      silent: the Windows Installer runs without UI.
// Switch letters are matched without case. Arguments are split as the
// Windows C runtime splits them (blanks and tabs separate, quotes group,
// backslashes escape a quote), so /V"..." is one argument. Anything else is
// kept in `unknown` and otherwise ignored.
#pragma once

#include <string>
#include <vector>

namespace sample_setup {

struct setup_options {
    bool silent = false;
    std::wstring installer_text;  // the /V text with its quotes resolved
    std::wstring language;        // decimal digits, empty when none was valid
    std::vector<std::wstring> rejected_languages;  // /L values that were not a language number
    std::vector<std::wstring> unknown;             // arguments that are no switch of the setup
};

// The MSI property that receives the language; the package's own default
// applies when the setup got no valid /L.
inline constexpr const wchar_t* language_property = L"INSTALLERLANGUAGE";

// Splits an argument text (without the program's name) into arguments by the
// rules of the Windows C runtime: 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part; 2n+1 give n
// backslashes and a literal quote; other backslashes are literal; a doubled
// quote inside a quoted part gives one literal quote.
std::vector<std::wstring> split_arguments(const std::wstring& text);

// The setup's switches from its argument text (without the program's name).
setup_options parse_setup_command_line(const std::wstring& text);

// The arguments for msiexec: install `package_path` with the UI level of
// `options`, then the /V text unchanged, then the language property when a
// language was given (last, so that it wins over the same property in the
// /V text).
std::wstring msiexec_arguments(const std::wstring& package_path, const setup_options& options);

}  // namespace sample_setup
