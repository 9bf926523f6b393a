#include "corvid/registry2/key.hpp"

#include <cstdint>
#include <cwchar>
#include <limits>
#include <vector>

#include "corvid/unicode/convert.hpp"

namespace corvid::registry2 {

namespace {

constexpr REGSAM read_write_access = KEY_READ | KEY_WRITE;

// Names in messages are narrowed strictly: a name the ANSI code page cannot
// show raises the conversion's error instead of a message with a wrong name.
std::string narrow(const std::wstring& text) { return unicode::to_narrow(text, 0, true); }

HKEY open(HKEY parent, const wchar_t* path, LSTATUS& status) {
    HKEY result = nullptr;
    status = ::RegOpenKeyExW(parent, path, 0, read_write_access, &result);
    if (status == ERROR_ACCESS_DENIED) status = ::RegOpenKeyExW(parent, path, 0, KEY_READ, &result);
    return status == ERROR_SUCCESS ? result : nullptr;
}

// The expansion is trusted only as far as the call wrote it: a failed call
// leaves the text as stored, a result longer than the buffer is fetched again
// with the size the call asked for (the environment may change between two
// calls, hence the bounded retry), and a result shorter than the call
// reported is incomplete (some systems stop at 32767 characters yet report
// the full size), so the text stays as stored rather than cut.
std::wstring expand_environment(const std::wstring& text) {
    std::vector<wchar_t> buffer(0x8000);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD count = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (count == 0) return text;
        if (count <= buffer.size()) {
            std::size_t written = ::wcsnlen(buffer.data(), buffer.size());
            if (written != count - 1) return text;
            return std::wstring(buffer.data(), written);
        }
        buffer.assign(count, L'\0');
    }
    return text;
}

}  // namespace

key key::open_root(HKEY root) {
    LSTATUS status = ERROR_SUCCESS;
    HKEY handle = open(root, nullptr, status);
    if (!handle) {
        // Predefined roots are sign-extended 32-bit constants; the low 32 bits
        // in signed decimal are the same on both word sizes.
        int value = static_cast<int>(reinterpret_cast<std::intptr_t>(root));
        throw key_error(format("RegOpenKeyEx() failed: handle %i (%i)", value, static_cast<int>(status)));
    }
    return key(handle);
}

key key::open_subkey(const key& parent, const std::wstring& path) {
    LSTATUS status = ERROR_SUCCESS;
    HKEY handle = open(parent.handle_, path.c_str(), status);
    if (!handle)
        throw key_error(format("RegOpenKeyEx() failed: key \"%s\" (%i)", narrow(path).c_str(),
                               static_cast<int>(status)));
    return key(handle);
}

key::~key() { ::RegCloseKey(handle_); }

std::wstring key::get_wstring(const std::wstring& name) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(handle_, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_FILE_NOT_FOUND)
        type = REG_NONE;

    // Rounded up, so that a value with an odd byte count fits whole.
    std::wstring text(size / 2 + size % 2, L'\0');

    if (type == REG_NONE) throw value_error(format("Not found: value \"%s\"", narrow(name).c_str()));
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw type_mismatch(format("Type mismatch: value \"%s\" expected %i found %i", narrow(name).c_str(),
                                   static_cast<int>(REG_SZ), static_cast<int>(type)));

    get_raw(name, text.data(), size);
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    if (type == REG_EXPAND_SZ) text = expand_environment(text);
    return text;
}

std::string key::get_string(const std::wstring& name) const { return narrow(get_wstring(name)); }

void key::get_raw(const std::wstring& name, void* buffer, DWORD expected) const {
    DWORD count = expected;
    LSTATUS status =
        ::RegQueryValueExW(handle_, name.c_str(), nullptr, nullptr, static_cast<BYTE*>(buffer), &count);
    // The count comes first: ERROR_MORE_DATA also reports the size needed,
    // and a value that changed size since it was measured is a size_mismatch.
    if (count != expected)
        throw size_mismatch(format("Size mismatch: value \"%s\" expected %i found %i", narrow(name).c_str(),
                                   static_cast<int>(expected), static_cast<int>(count)));
    if (status != ERROR_SUCCESS)
        throw value_error(
            format("RegQueryValueEx() failed: value \"%s\" (%i)", narrow(name).c_str(), static_cast<int>(status)));
}

void key::set_string(const std::wstring& name, const std::wstring& value) {
    LSTATUS status = ERROR_INVALID_PARAMETER;
    if (value.size() < std::numeric_limits<DWORD>::max() / sizeof(wchar_t)) {
        DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        status = ::RegSetValueExW(handle_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  bytes);
    }
    if (status != ERROR_SUCCESS)
        throw value_error(
            format("RegSetValueEx() failed: value \"%s\" (%i)", narrow(name).c_str(), static_cast<int>(status)));
}

}  // namespace corvid::registry2
