// Ends a variadic argument list on every way out of the function that
// started it, exceptions included. Portable.
#pragma once

#include <cstdarg>

namespace corvid {

class va_guard {
public:
    explicit va_guard(va_list& args) noexcept : args_(args) {}
    ~va_guard() { va_end(args_); }
    va_guard(const va_guard&) = delete;
    va_guard& operator=(const va_guard&) = delete;

private:
    va_list& args_;
};

}  // namespace corvid
