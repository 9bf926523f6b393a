// An exception whose message is held as wide text and turned into narrow text
// (ANSI code page, unmappable characters replaced) only when a narrow caller
// asks, at most once per object.
#pragma once

#include <string>

#include "corvid/exception.hpp"

namespace corvid {

class exception_w : public exception {
public:
    // The wide message is corvid::wformat(format, ...) (%s takes a wide string).
    explicit exception_w(const wchar_t* format, ...);
    exception_w(const exception_w&) = default;
    exception_w& operator=(const exception_w&) = default;
    ~exception_w() override;

    const char* what() const noexcept override;
    const char* message() const noexcept override;
    const char* type_path() const noexcept override;

    // Wide type path, "[", wide message and "]".
    virtual const wchar_t* wwhat() const noexcept;
    virtual const wchar_t* wmessage() const noexcept;
    virtual const wchar_t* wtype_path() const noexcept;

private:
    void fill() const noexcept;

    mutable std::wstring wwhat_;
    std::wstring wmessage_;
    std::wstring wtype_path_;
    mutable bool filled_ = false;
};

}  // namespace corvid
