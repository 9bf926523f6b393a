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

    // The narrow texts are the wide ones converted to the ANSI code page
    // (code page 0, unmappable characters replaced by the default
    // character), converted on the first call of any of these three and kept.
    // These calls cannot throw (what() is noexcept in std::exception): should
    // the conversion itself fail, the narrow texts stay empty.
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
    // The filled narrow forms; the base's own message and type path stay empty.
    mutable std::string narrow_message_;
    mutable std::string narrow_type_path_;
};

}  // namespace corvid
