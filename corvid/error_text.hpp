#pragma once

#include <cstdint>
#include <string>

namespace corvid {

// The system's message for a Win32 error code in the user's default
// language, without the line break that ends every system message; the empty
// text when the system has no message for the code. Never fails.
std::string error_text(std::uint32_t code);

// The same message as UTF-8, for texts that carry paths as UTF-8.
std::string error_text_utf8(std::uint32_t code);

}  // namespace corvid
