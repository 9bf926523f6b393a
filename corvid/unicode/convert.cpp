#include "corvid/unicode/convert.hpp"

#include <climits>

#include "corvid/win32.hpp"

namespace corvid::unicode {

bool flags_allowed(std::uint32_t codepage) noexcept {
    switch (codepage) {
    case 42: case 50221: case 50222: case 50225: case 50227: case 50229:
    case 52936: case 54936: case 65000: case 65001:
        return false;
    default:
        return !(codepage >= 57002 && codepage <= 57011);
    }
}

namespace {

// The code page the system converts with when given a symbolic number, as
// the system itself reports it; the ANSI code page when it cannot tell. A
// locale's own data is no answer: a locale without code pages of its own
// (the Unicode-only ones, such as Hindi) gives 0 there for "the ANSI code
// page", and taken as a number that would pass flags to what is a UTF-8
// conversion, which the system refuses.
std::uint32_t actual_codepage(UINT symbolic, std::uint32_t ansi) noexcept {
    CPINFOEXW info{};
    if (!::GetCPInfoExW(symbolic, 0, &info) || info.CodePage <= 3) return ansi;
    return info.CodePage;
}

// Whether a conversion with the given code page may pass flags, decided on
// the code page that the system will actually use for it.
bool conversion_flags_allowed(std::uint32_t codepage) noexcept {
    if (codepage == 0) return flags_allowed(::GetACP());
    if (codepage > 3) return flags_allowed(codepage);
    return flags_allowed(resolve_codepage(codepage, current_system_codepages()));
}

}  // namespace

system_codepages current_system_codepages() noexcept {
    const std::uint32_t ansi = ::GetACP();
    return system_codepages{ansi, ::GetOEMCP(), actual_codepage(CP_MACCP, ansi), actual_codepage(CP_THREAD_ACP, ansi)};
}

std::wstring to_wide(const std::string& text, std::uint32_t codepage) {
    if (text.empty()) return std::wstring();
    // The system call counts in int: a longer text cannot be passed whole.
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw out_of_memory("");
    // As many UTF-16 units as input bytes: no code page produces more units
    // than bytes, and a conversion that would is reported as out_of_memory.
    std::wstring buffer(text.size(), L'\0');
    const DWORD flags = conversion_flags_allowed(codepage) ? MB_ERR_INVALID_CHARS : 0;
    int count = ::MultiByteToWideChar(codepage, flags, text.data(), static_cast<int>(text.size()),
                                      buffer.data(), static_cast<int>(buffer.size()));
    if (count != 0) {
        buffer.resize(static_cast<std::size_t>(count));
        return buffer;
    }
    switch (::GetLastError()) {
    case ERROR_INSUFFICIENT_BUFFER: throw out_of_memory("");
    case ERROR_INVALID_PARAMETER: throw invalid_codepage("");
    case ERROR_NO_UNICODE_TRANSLATION: throw unmappable_character("");
    default: throw generic("");
    }
}

std::string to_narrow(const std::wstring& text, std::uint32_t codepage, bool strict) {
    if (text.empty()) return std::string();
    CPINFO info{};
    if (!::GetCPInfo(codepage, &info)) throw invalid_codepage("");
    // A zero-sized output buffer would turn the call into a size query.
    const std::size_t max_char = info.MaxCharSize != 0 ? info.MaxCharSize : 1;
    if (text.size() > static_cast<std::size_t>(INT_MAX) / max_char) throw out_of_memory("");
    std::string buffer(text.size() * max_char, '\0');
    BOOL used_default = FALSE;
    const bool report = conversion_flags_allowed(codepage);
    int count = ::WideCharToMultiByte(codepage, 0, text.data(), static_cast<int>(text.size()),
                                      buffer.data(), static_cast<int>(buffer.size()), nullptr,
                                      report ? &used_default : nullptr);
    const DWORD error = ::GetLastError();
    if (used_default && strict) throw unmappable_character("");
    if (count != 0) {
        buffer.resize(static_cast<std::size_t>(count));
        return buffer;
    }
    switch (error) {
    case ERROR_INSUFFICIENT_BUFFER: throw out_of_memory("");
    case ERROR_INVALID_PARAMETER: throw unmappable_character("");
    default: throw generic("");
    }
}

}  // namespace corvid::unicode

namespace corvid::unicode {

namespace {

[[noreturn]] void raise_conversion_error() {
    switch (::GetLastError()) {
    case ERROR_NO_UNICODE_TRANSLATION: throw unmappable_character("");
    case ERROR_INSUFFICIENT_BUFFER: throw out_of_memory("");
    default: throw generic("");
    }
}

// Narrow to UTF-16 with MB_ERR_INVALID_CHARS, which the system takes for
// these code pages even where the flags of to_wide must stay 0.
std::wstring strictly_to_wide(const std::string& text, UINT codepage) {
    if (text.empty()) return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw out_of_memory("");
    std::wstring buffer(text.size(), L'\0');
    const int count = ::MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                            buffer.data(), static_cast<int>(buffer.size()));
    if (count == 0) raise_conversion_error();
    buffer.resize(static_cast<std::size_t>(count));
    return buffer;
}

}  // namespace

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    // At most three bytes for each UTF-16 unit.
    if (text.size() > static_cast<std::size_t>(INT_MAX) / 3) throw out_of_memory("");
    std::string buffer(text.size() * 3, '\0');
    const int count = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                            buffer.data(), static_cast<int>(buffer.size()), nullptr, nullptr);
    if (count == 0) raise_conversion_error();
    buffer.resize(static_cast<std::size_t>(count));
    return buffer;
}

std::wstring from_utf8(const std::string& text) { return strictly_to_wide(text, CP_UTF8); }

// Every code page that can be the ANSI one takes MB_ERR_INVALID_CHARS.
std::string ansi_to_utf8(const std::string& text) { return to_utf8(strictly_to_wide(text, ::GetACP())); }

}  // namespace corvid::unicode
