#include "corvid/exception.hpp"
#include "corvid/va_guard.hpp"

#include <cstdio>
#include <cwchar>
#include <limits>
#include <new>
#include <vector>

namespace corvid {

exception::exception(std::string message) : message_(std::move(message)) {}

exception::exception(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    message_ = vformat(fmt, args);
}

exception::~exception() = default;

const char* exception::what() const noexcept {
    try {
        what_.clear();
        what_.append(type_path()).append("[").append(message()).append("]");
        return what_.c_str();
    } catch (...) {
        return "corvid::exception";
    }
}

const char* exception::message() const noexcept { return message_.c_str(); }

const char* exception::type_path() const noexcept { return type_path_.c_str(); }

void exception::extend_type_path(const char* short_name) {
    if (!type_path_.empty()) type_path_ += '.';
    type_path_ += short_name;
}

namespace {

constexpr std::size_t initial_buffer = 1024;

// Grows the buffer until the formatted text fits. Accepts both conventions of
// counted formatting: a negative count for "did not fit" (Microsoft runtimes,
// and C99 vswprintf) and the needed count (C99 vsnprintf).
template <class Char, class Formatter>
std::basic_string<Char> grow_format(Formatter&& formatter) {
    std::vector<Char> buffer(initial_buffer);
    for (;;) {
        int count = formatter(buffer.data(), buffer.size());
        if (count >= 0 && static_cast<std::size_t>(count) < buffer.size())
            return std::basic_string<Char>(buffer.data(), static_cast<std::size_t>(count));
        std::size_t next = count >= 0 ? static_cast<std::size_t>(count) + 1 : buffer.size() * 2;
        // No formatted text can exceed INT_MAX characters; a negative count
        // that persists beyond that is an encoding error, not a short buffer.
        if (next > static_cast<std::size_t>(std::numeric_limits<int>::max()) + 1)
            throw std::bad_alloc();
        buffer.assign(next, Char());
    }
}

#if !defined(_WIN32)
// Rewrites a wide format written for the Windows convention (%s = wide) into
// the C99 one (%s = narrow, %ls = wide).
std::wstring translate_wide_format(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* p = format; *p; ++p) {
        out += *p;
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') { out += *p; continue; }
        // flags, width, precision
        while (*p && std::wcschr(L"-+ #0123456789.*'", *p)) out += *p++;
        bool narrow = false, wide = false;
        std::wstring length;
        while (*p && std::wcschr(L"hlLqjzt", *p)) {
            if (*p == L'h') narrow = true;
            if (*p == L'l' || *p == L'w') wide = true;
            length += *p++;
        }
        if (!*p) { out += length; break; }
        if (*p == L's' || *p == L'c' || *p == L'S' || *p == L'C') {
            bool capital = (*p == L'S' || *p == L'C');
            wchar_t conv = capital ? static_cast<wchar_t>(*p + (L'a' - L'A')) : *p;
            // Windows: %s wide, %hs narrow, %ls wide, %S narrow.
            bool is_wide = wide || (!narrow && !capital);
            if (is_wide) out += L'l';
            out += conv;
        } else {
            out += length;
            out += *p;
        }
    }
    return out;
}
#endif

}  // namespace

std::string vformat(const char* fmt, va_list args) {
    return grow_format<char>([&](char* buf, std::size_t size) {
        va_list copy;
        va_copy(copy, args);
#if defined(_WIN32)
        // The system's C runtime formatter (a negative count when the text
        // does not fit). The toolchain's C99 printf would bring its
        // floating-point conversion, about 30 KB, into every program.
        int n = ::_vsnprintf(buf, size, fmt, copy);
#else
        int n = std::vsnprintf(buf, size, fmt, copy);
#endif
        va_end(copy);
        return n;
    });
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    return vformat(fmt, args);
}

std::wstring vwformat(const wchar_t* fmt, va_list args) {
#if defined(_WIN32)
    const wchar_t* effective = fmt;
#else
    std::wstring translated = translate_wide_format(fmt);
    const wchar_t* effective = translated.c_str();
#endif
    return grow_format<wchar_t>([&](wchar_t* buf, std::size_t size) {
        va_list copy;
        va_copy(copy, args);
#if defined(_WIN32)
        // The runtime's own counted wide formatter: %s takes a wide string,
        // and a result that does not fit gives a negative count.
        int n = ::_vsnwprintf(buf, size, effective, copy);
#else
        int n = std::vswprintf(buf, size, effective, copy);
#endif
        va_end(copy);
        return n;
    });
}

std::wstring wformat(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    return vwformat(fmt, args);
}

}  // namespace corvid
