#include "corvid/registry2/key.hpp"

#include <sddl.h>

#include <gtest/gtest.h>

#include "tests/support/what_of.hpp"

#include <string>

using corvid::registry2::generic;
using corvid::registry2::key;
using corvid::registry2::key_error;
using corvid::registry2::size_mismatch;
using corvid::registry2::type_mismatch;
using corvid::registry2::value_error;

namespace {

// A scratch key of its own under HKEY_LOCAL_MACHINE for each test, removed
// with everything below it at the end.
class RegistryKey : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = L"SOFTWARE\\CorvidTests\\registry2-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &raw_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (raw_) ::RegCloseKey(raw_);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    }

    void put(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(::RegSetValueExW(raw_, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }

    std::wstring path_;
    HKEY raw_ = nullptr;
    static inline int counter_ = 0;
};

using test_support::what_of;

TEST_F(RegistryKey, TerminatorsAndEmptyValue) {
    const wchar_t one[] = L"abc";                         // stored with its terminator
    const wchar_t two[] = {L'a', L'b', L'c', 0, 0};
    put(L"one", REG_SZ, one, sizeof(one));
    put(L"none", REG_SZ, one, 3 * sizeof(wchar_t));
    put(L"two", REG_SZ, two, sizeof(two));
    put(L"empty", REG_SZ, nullptr, 0);

    key root = key::open_root(HKEY_LOCAL_MACHINE);
    key k = key::open_subkey(root, path_);
    EXPECT_EQ(k.get_wstring(L"one"), L"abc");
    EXPECT_EQ(k.get_wstring(L"none"), L"abc");
    EXPECT_EQ(k.get_wstring(L"two"), std::wstring(L"abc\0", 4));
    EXPECT_EQ(k.get_wstring(L"empty"), L"");
    EXPECT_EQ(k.get_string(L"one"), "abc");
}

TEST_F(RegistryKey, OddByteCountIsReadWhole) {
    // "ab" and the first byte of "c": that last byte becomes a character of its own.
    const wchar_t data[] = L"abc";
    put(L"odd", REG_SZ, data, 5);
    key root = key::open_root(HKEY_LOCAL_MACHINE);
    key k = key::open_subkey(root, path_);
    EXPECT_EQ(k.get_wstring(L"odd"), L"abc");
}

TEST_F(RegistryKey, ExpandableTextIsExpandedPlainTextIsNot) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CORVID_REG_TEST", L"C:\\Expanded"));
    const wchar_t text[] = L"%CORVID_REG_TEST%\\sub";
    put(L"expand", REG_EXPAND_SZ, text, sizeof(text));
    put(L"plain", REG_SZ, text, sizeof(text));
    const wchar_t unknown[] = L"%CORVID_REG_TEST_UNSET%";
    put(L"unknown", REG_EXPAND_SZ, unknown, sizeof(unknown));

    // An expansion longer than the first buffer of 32768 characters.
    std::wstring big(20000, L'x');
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CORVID_REG_BIG", big.c_str()));
    const wchar_t twice[] = L"%CORVID_REG_BIG%%CORVID_REG_BIG%!";
    put(L"long", REG_EXPAND_SZ, twice, sizeof(twice));

    key root = key::open_root(HKEY_LOCAL_MACHINE);
    key k = key::open_subkey(root, path_);
    EXPECT_EQ(k.get_wstring(L"expand"), L"C:\\Expanded\\sub");
    EXPECT_EQ(k.get_wstring(L"plain"), text);
    EXPECT_EQ(k.get_wstring(L"unknown"), unknown);
    // Longer than the first buffer: either the whole expansion (Windows) or,
    // where the system cannot deliver all of it (Wine stops at 32767
    // characters), the text as stored; never a cut or padded text.
    std::wstring expanded = k.get_wstring(L"long");
    EXPECT_TRUE(expanded == big + big + L"!" || expanded == twice) << "length " << expanded.size();
    ::SetEnvironmentVariableW(L"CORVID_REG_TEST", nullptr);
    ::SetEnvironmentVariableW(L"CORVID_REG_BIG", nullptr);
}

TEST_F(RegistryKey, WrongTypesAndMissingValues) {
    DWORD number = 7;
    put(L"dword", REG_DWORD, &number, sizeof(number));
    put(L"none_type", REG_NONE, nullptr, 0);
    key root = key::open_root(HKEY_LOCAL_MACHINE);
    key k = key::open_subkey(root, path_);

    EXPECT_EQ(what_of<type_mismatch>([&] { k.get_wstring(L"dword"); }),
              "registry2.type_mismatch[Type mismatch: value \"dword\" expected 1 found 4]");
    EXPECT_EQ(what_of<value_error>([&] { k.get_string(L"missing"); }),
              "registry2.value_error[Not found: value \"missing\"]");
    EXPECT_EQ(what_of<value_error>([&] { k.get_wstring(L"none_type"); }),
              "registry2.value_error[Not found: value \"none_type\"]");

    // A type or size error is not a value_error, only a generic.
    bool as_value_error = false, as_generic = false;
    try {
        try {
            k.get_wstring(L"dword");
        } catch (const value_error&) {
            as_value_error = true;
        }
    } catch (const generic&) {
        as_generic = true;
    }
    EXPECT_FALSE(as_value_error);
    EXPECT_TRUE(as_generic);

    wchar_t buffer[8] = {};
    const wchar_t text[] = L"abc";
    put(L"text", REG_SZ, text, sizeof(text));
    EXPECT_EQ(what_of<size_mismatch>([&] { k.get_raw(L"text", buffer, 4); }),
              "registry2.size_mismatch[Size mismatch: value \"text\" expected 4 found 8]");
    EXPECT_EQ(what_of<size_mismatch>([&] { k.get_raw(L"text", buffer, 12); }),
              "registry2.size_mismatch[Size mismatch: value \"text\" expected 12 found 8]");
}

TEST_F(RegistryKey, MissingKeysRaiseKeyError) {
    key root = key::open_root(HKEY_LOCAL_MACHINE);
    std::wstring missing = path_ + L"\\absent";
    std::string narrow(missing.begin(), missing.end());
    EXPECT_EQ(what_of<key_error>([&] { key::open_subkey(root, missing); }),
              "registry2.key_error[RegOpenKeyEx() failed: key \"" + narrow + "\" (2)]");

    // A handle that names no root: the handle form, in signed decimal.
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000042)));
    std::string what = what_of<key_error>([&] { key::open_root(bogus); });
    EXPECT_EQ(what.rfind("registry2.key_error[RegOpenKeyEx() failed: handle -2147483582 (", 0), 0u) << what;
}

TEST_F(RegistryKey, SetStringRoundTrip) {
    {
        key root = key::open_root(HKEY_LOCAL_MACHINE);
        key k = key::open_subkey(root, path_);
        k.set_string(L"written", L"Grüße 1031");
        k.set_string(L"blank", L"");
        EXPECT_EQ(k.get_wstring(L"written"), L"Grüße 1031");
        EXPECT_EQ(k.get_wstring(L"blank"), L"");
    }
    DWORD type = 0, size = 0;
    ASSERT_EQ(::RegQueryValueExW(raw_, L"written", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 11 * sizeof(wchar_t));  // ten characters and one terminator
}

TEST_F(RegistryKey, ReadOnlyKeyOpensOnSecondAttemptAndRefusesWrites) {
    // Everyone may read and delete the key, nobody may write it. The access
    // list is set after creation: Wine ignores one given to RegCreateKeyEx.
    HKEY ro = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(raw_, L"readonly", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &ro, nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)(A;;SD;;;WD)",
                                                                        SDDL_REVISION_1, &sd, nullptr));
    LSTATUS secured = ::RegSetKeySecurity(ro, DACL_SECURITY_INFORMATION, sd);
    ::LocalFree(sd);
    ::RegCloseKey(ro);
    ASSERT_EQ(secured, ERROR_SUCCESS);

    std::wstring ro_path = path_ + L"\\readonly";
    HKEY probe = nullptr;
    LSTATUS rw = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ro_path.c_str(), 0, KEY_READ | KEY_WRITE, &probe);
    if (rw == ERROR_SUCCESS) ::RegCloseKey(probe);
    ASSERT_EQ(rw, ERROR_ACCESS_DENIED) << "the registry does not enforce the key's access list";

    key root = key::open_root(HKEY_LOCAL_MACHINE);
    key k = key::open_subkey(root, ro_path);
    EXPECT_EQ(what_of<value_error>([&] { k.set_string(L"v", L"x"); }),
              "registry2.value_error[RegSetValueEx() failed: value \"v\" (5)]");
    EXPECT_EQ(what_of<value_error>([&] { k.get_wstring(L"v"); }),
              "registry2.value_error[Not found: value \"v\"]");
}

}  // namespace
