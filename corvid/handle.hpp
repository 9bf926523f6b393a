// Move-only owners of Win32 resources. The traits give the invalid value and
// the close call; a HANDLE that is invalid at NULL (processes, mutexes) and
// one that is invalid at INVALID_HANDLE_VALUE (files) are different policies.
#pragma once

#include <utility>

#include "corvid/win32.hpp"

namespace corvid {

template <class Traits>
class unique_resource {
public:
    using pointer = typename Traits::type;

    unique_resource() noexcept : value_(Traits::invalid()) {}
    explicit unique_resource(pointer value) noexcept : value_(value) {}
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    ~unique_resource() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // Closes the held resource (if any) and takes ownership of value.
    void reset(pointer value = Traits::invalid()) noexcept {
        pointer old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    pointer value_;
};

struct handle_null_traits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct handle_file_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct find_handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};

struct module_traits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::FreeLibrary(h); }
};

// Process, thread, mutex, event handles.
using unique_handle = unique_resource<handle_null_traits>;
// Handles from CreateFile.
using unique_file = unique_resource<handle_file_traits>;
// Listings from FindFirstFile.
using unique_find = unique_resource<find_handle_traits>;
// Libraries from LoadLibrary.
using unique_module = unique_resource<module_traits>;

}  // namespace corvid
