// The support library's exception root and its printf-style formatters.
// Portable: no Windows headers.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

#if defined(__GNUC__) && defined(_WIN32)
#define CORVID_PRINTF(fmt, first) __attribute__((format(ms_printf, fmt, first)))
#elif defined(__clang__)
#define CORVID_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#elif defined(__GNUC__)
#define CORVID_PRINTF(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define CORVID_PRINTF(fmt, first)
#endif

namespace corvid {

// Root of every exception the library throws. what() is the type path, "[",
// the message and "]": a plain corvid::exception with message M gives "[M]",
// a corvid::log::generic gives "log[M]". Subclasses extend the dotted type
// path with their short name in their constructor (extend_type_path), after
// the base constructor has run, and add no data of their own.
class exception : public std::exception {
public:
    explicit exception(std::string message);
    // The message is corvid::format(format, ...).
    explicit exception(const char* format, ...) CORVID_PRINTF(2, 3);
    exception(const exception&) = default;
    exception& operator=(const exception&) = default;
    ~exception() override;

    // Rebuilt on every call; the pointer stays valid until the next call or
    // the object's end.
    const char* what() const noexcept override;
    virtual const char* message() const noexcept;
    virtual const char* type_path() const noexcept;

protected:
    exception() = default;
    void extend_type_path(const char* short_name);
    void set_message(std::string message) { message_ = std::move(message); }
    void set_type_path(std::string path) { type_path_ = std::move(path); }

private:
    mutable std::string what_;
    std::string message_;
    std::string type_path_;
};

// printf-style formatting into a string of any length. The narrow form
// takes a narrow string for %s and the conversions of the platform's C
// runtime: on Windows those of the system's msvcrt, which lacks the C99 length
// modifiers z, j, t and hh (the compiler checks formats against it), elsewhere
// C99.
std::string format(const char* format, ...) CORVID_PRINTF(1, 2);
std::string vformat(const char* format, va_list args);

// Wide printf-style formatting with the Windows convention on every runtime:
// %s and %c take a wide string and a wide character, %hs and %hc narrow ones.
// (On runtimes whose wide printf follows C99, the directives are translated.)
std::wstring wformat(const wchar_t* format, ...);
std::wstring vwformat(const wchar_t* format, va_list args);

}  // namespace corvid
