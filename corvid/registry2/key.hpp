// Exception-based access to the Windows registry: a key object that owns one
// open handle, text reads that accept only text values, and a text write.
// Names, paths and values are UTF-16; narrow text appears only in messages
// and in get_string, always in the ANSI code page.
//
// No registry-view flag is given when keys are opened, so a 32-bit program on
// 64-bit Windows sees the redirected 32-bit view (WOW6432Node) of
// HKEY_LOCAL_MACHINE\SOFTWARE.
#pragma once

#include <string>

#include "corvid/exception.hpp"
#include "corvid/win32.hpp"

namespace corvid::registry2 {

// Catch-all of this module; never raised by itself. Type path "registry2".
class generic : public corvid::exception {
public:
    explicit generic(const std::string& message) : corvid::exception(message) {
        extend_type_path("registry2");
    }
};

// A key cannot be opened.
class key_error : public generic {
public:
    explicit key_error(const std::string& message) : generic(message) { extend_type_path("key_error"); }
};

// A value is missing, cannot be queried or cannot be written.
class value_error : public generic {
public:
    explicit value_error(const std::string& message) : generic(message) { extend_type_path("value_error"); }
};

// A value read as text has another type. Not a value_error.
class type_mismatch : public generic {
public:
    explicit type_mismatch(const std::string& message) : generic(message) {
        extend_type_path("type_mismatch");
    }
};

// A value's byte count differs from the count expected. Not a value_error.
class size_mismatch : public generic {
public:
    explicit size_mismatch(const std::string& message) : generic(message) {
        extend_type_path("size_mismatch");
    }
};

// One open registry key. The object exists only while its handle is open and
// closes it when destroyed; it can be neither copied nor moved, so a key
// lives in exactly one scope and keys close in reverse order of opening.
//
// Both open operations ask for read and write access first and, only when
// that is refused with ERROR_ACCESS_DENIED, for read access alone; a key
// opened the second way refuses writes with value_error (status 5).
class key {
public:
    // A new handle to a predefined root such as HKEY_LOCAL_MACHINE. Raises
    // key_error "RegOpenKeyEx() failed: handle %i (%i)" with the root's handle
    // value (HKEY_LOCAL_MACHINE prints as -2147483646) and the status.
    static key open_root(HKEY root);

    // The sub-key at `path` (relative to `parent`). Raises key_error
    // "RegOpenKeyEx() failed: key "%s" (%i)" with the path and the status.
    static key open_subkey(const key& parent, const std::wstring& path);

    key(const key&) = delete;
    key& operator=(const key&) = delete;
    ~key();

    // The text of a REG_SZ or REG_EXPAND_SZ value, without one terminating
    // zero character if it ends with one (further zeros stay). An expandable
    // value has its environment references expanded; if the expansion fails
    // the text comes back as stored. Raises value_error "Not found: value
    // "%s"" for a missing value or one of type REG_NONE, type_mismatch
    // (expected 1, found the type) for any other type, and whatever get_raw
    // raises. A value with an odd byte count yields its last byte as a final
    // character of its own.
    std::wstring get_wstring(const std::wstring& name) const;

    // get_wstring converted to the ANSI code page, strictly: a character
    // without a mapping raises corvid::unicode::unmappable_character.
    std::string get_string(const std::wstring& name) const;

    // Reads the value's data into `buffer`, which must hold `expected` bytes.
    // Raises size_mismatch (expected, reported) when the system reports
    // another byte count, also when the value grew since its size was taken;
    // otherwise value_error "RegQueryValueEx() failed: value "%s" (%i)" for
    // any failing status.
    void get_raw(const std::wstring& name, void* buffer, DWORD expected) const;

    // Writes `value` as REG_SZ including one terminating zero character.
    // Raises value_error "RegSetValueEx() failed: value "%s" (%i)".
    void set_string(const std::wstring& name, const std::wstring& value);

    // The open handle, owned by this object.
    HKEY handle() const noexcept { return handle_; }

private:
    explicit key(HKEY handle) noexcept : handle_(handle) {}
    HKEY handle_;
};

}  // namespace corvid::registry2
