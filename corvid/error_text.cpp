#include "corvid/error_text.hpp"

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid {

std::string error_text(std::uint32_t code) {
    char* buffer = nullptr;
    DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return std::string();
    std::string text;
    try {
        text.assign(buffer, length >= 2 ? length - 2 : 0);
    } catch (...) {
        ::LocalFree(buffer);
        return std::string();
    }
    ::LocalFree(buffer);
    return text;
}

}  // namespace corvid

namespace corvid {

namespace {

struct local_traits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::LocalFree(h); }
};

}  // namespace

std::string error_text_utf8(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    unique_resource<local_traits> owner(buffer);
    if (length == 0 || buffer == nullptr) return std::string();
    try {
        return unicode::to_utf8(std::wstring(buffer, length >= 2 ? length - 2 : 0));
    } catch (...) {
        return std::string();
    }
}

}  // namespace corvid
