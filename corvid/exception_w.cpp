#include "corvid/exception_w.hpp"

#include "corvid/unicode/convert.hpp"
#include "corvid/va_guard.hpp"

namespace corvid {

exception_w::exception_w(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    wmessage_ = vwformat(fmt, args);
}

exception_w::~exception_w() = default;

void exception_w::fill() const noexcept {
    if (filled_) return;
    try {
        std::string type_path = unicode::to_narrow(wtype_path_, 0, false);
        std::string message = unicode::to_narrow(wmessage_, 0, false);
        narrow_type_path_ = std::move(type_path);
        narrow_message_ = std::move(message);
    } catch (...) {
        // Out of memory or a failing system conversion: the narrow forms stay
        // empty; wwhat() still carries the whole text.
    }
    filled_ = true;
}

const char* exception_w::what() const noexcept {
    fill();
    return exception::what();
}

const char* exception_w::message() const noexcept {
    fill();
    return narrow_message_.c_str();
}

const char* exception_w::type_path() const noexcept {
    fill();
    return narrow_type_path_.c_str();
}

const wchar_t* exception_w::wwhat() const noexcept {
    try {
        wwhat_.clear();
        wwhat_.append(wtype_path_).append(L"[").append(wmessage_).append(L"]");
        return wwhat_.c_str();
    } catch (...) {
        return L"corvid::exception_w";
    }
}

const wchar_t* exception_w::wmessage() const noexcept { return wmessage_.c_str(); }

const wchar_t* exception_w::wtype_path() const noexcept { return wtype_path_.c_str(); }

}  // namespace corvid
