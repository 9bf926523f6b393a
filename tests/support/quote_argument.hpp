// Quoting one argument for a Windows command line, for the harnesses that
// start programs.
#pragma once

#include <cstddef>
#include <string>

namespace test_support {

// The argument in quotes, so that the C runtime's command-line parsing gives
// it back unchanged: backslashes before a quote (and before the closing
// quote) are doubled, quotes escaped.
inline std::string quote_argument(const std::string& argument) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

}  // namespace test_support
