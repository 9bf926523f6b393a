#include "config/config.hpp"

#include <shlobj.h>

#include <gtest/gtest.h>

#include "tests/support/what_of.hpp"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "corvid/exception_w.hpp"
#include "corvid/handle.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/support/start_process.hpp"

using test_support::exists;
using test_support::read_file;
using test_support::scratch_dir;

namespace {

std::string narrow(const std::wstring& text) { return corvid::unicode::to_narrow(text, 0, false); }

// The exception code of the probe's write through a null pointer: an access
// violation. The 32-bit Wine that runs under qemu-user's i386 emulation
// (scripts/wine32-env, which names its sysroot in the environment) gets no
// trap number with the fault's signal and reports every such fault as an
// illegal instruction; Windows and the native Wine do not.
DWORD null_write_code() {
    const bool emulated = sizeof(void*) == 4 && std::getenv("CORVID_WINE32_SYSROOT") != nullptr;
    return emulated ? 0xC000001Du : 0xC0000005u;
}
std::wstring wide(const std::string& text) { return corvid::unicode::to_wide(text, 0); }

std::wstring env(const wchar_t* name) {
    wchar_t buffer[32768];
    DWORD n = ::GetEnvironmentVariableW(name, buffer, 32768);
    return n && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

bool same_path(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(a.c_str(), b.c_str()) == 0; }

std::wstring own_path() {
    wchar_t buffer[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

std::wstring own_folder() {
    std::wstring path = own_path();
    return path.substr(0, path.rfind(L'\\') + 1);
}

using test_support::what_of;

LONG WINAPI unrelated_filter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// Runs a program with the given arguments and returns its exit code, or
// 0xFFFFFFFF when it cannot be started or does not end within a minute.
DWORD run(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory) {
    std::wstring command = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!test_support::start_process([&] {
            return ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                    directory.c_str(), &startup, &process);
        }))
        return 0xFFFFFFFF;
    corvid::unique_handle process_handle(process.hProcess);
    corvid::unique_handle thread_handle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.hProcess, &code);
    return code;
}

std::vector<std::wstring> files_in(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    corvid::unique_find find(::FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    return names;
}

const std::wstring vendor = L"Quaystone";

std::wstring appdata_product(const std::wstring& product) { return env(L"APPDATA") + L"\\" + vendor + L"\\" + product; }

}  // namespace

TEST(ConfigValues, ComposedFromTheModuleAndTheDataFolders) {
    corvid::remove_directory_tree(narrow(appdata_product(L"Lanternfish")));
    LPTOP_LEVEL_EXCEPTION_FILTER before = ::SetUnhandledExceptionFilter(unrelated_filter);
    config::init(::GetModuleHandleW(nullptr));
    EXPECT_EQ(::SetUnhandledExceptionFilter(before), unrelated_filter) << "the filter was replaced";
    EXPECT_FALSE(exists(narrow(appdata_product(L"Lanternfish")))) << "a folder was created";

    EXPECT_EQ(config::vendor_name(), L"Quaystone");
    EXPECT_EQ(config::product_name(), L"Lanternfish");
    EXPECT_EQ(config::module_file_name(), L"config_test.exe");
    EXPECT_EQ(config::module_folder(), own_folder());
    EXPECT_TRUE(same_path(config::common_data_root(), env(L"ProgramData") + L"\\")) << narrow(config::common_data_root());
    EXPECT_TRUE(same_path(config::user_data_root(), env(L"APPDATA") + L"\\")) << narrow(config::user_data_root());
    EXPECT_EQ(config::common_data_folder(), config::common_data_root() + L"Quaystone\\Lanternfish\\");
    EXPECT_EQ(config::user_data_folder(), config::user_data_root() + L"Quaystone\\Lanternfish\\");

    std::wstring long_text = config::load_resource_string(2003, ::GetModuleHandleW(nullptr));
    EXPECT_EQ(long_text.size(), 259u);
    EXPECT_EQ(long_text.substr(0, 12), L"012345678901");
}

TEST(ConfigValues, PerUserFolderFallsBackToTheMachineWideOne) {
    // This process alone sees a user hive whose per-user application-data
    // folder does not exist, so the system cannot give it.
    std::wstring path = L"Software\\CorvidTests\\config-user-" + std::to_wstring(::GetCurrentProcessId());
    HKEY user = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                                nullptr),
              ERROR_SUCCESS);
    struct restore {
        HKEY user;
        std::wstring path;
        ~restore() {
            ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
            ::RegCloseKey(user);
            ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        }
    } restore_on_exit{user, path};
    const wchar_t missing[] = L"C:\\corvid-no-such-folder\\Roaming";
    for (const wchar_t* sub : {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                               L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"}) {
        HKEY folders = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(user, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &folders, nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(folders, L"AppData", 0, REG_SZ, reinterpret_cast<const BYTE*>(missing), sizeof(missing));
        ::RegCloseKey(folders);
    }
    ASSERT_EQ(::RegOverridePredefKey(HKEY_CURRENT_USER, user), ERROR_SUCCESS);
    wchar_t probe[MAX_PATH];
    ASSERT_TRUE(FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, probe)))
        << "the per-user folder is still found: " << narrow(probe);

    config::init(::GetModuleHandleW(nullptr));
    EXPECT_EQ(config::user_data_root(), config::common_data_root());
    EXPECT_EQ(config::user_data_folder(), config::common_data_folder());
    EXPECT_TRUE(same_path(config::common_data_root(), env(L"ProgramData") + L"\\"));
}

TEST(ConfigErrors, MissingResourceStringStopsBeforeAnyPath) {
    config::init(::GetModuleHandleW(nullptr));
    HMODULE bare = ::LoadLibraryExW((own_folder() + L"config_bare_module.exe").c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(bare, nullptr);
    corvid::unique_module owner(bare);
    EXPECT_EQ(what_of<corvid::exception>([&] { config::init(bare); }), "[resource string 2001 is not found]");
    EXPECT_EQ(what_of<corvid::exception>([&] { config::load_resource_string(2002, bare); }),
              "[resource string 2002 is not found]");
    EXPECT_EQ(config::module_file_name(), L"config_test.exe");
}

TEST(ConfigErrors, ModuleWithoutAFileName) {
    // A module mapped as data has string resources but no file name.
    HMODULE data = ::LoadLibraryExW((own_folder() + L"config_crash_probe.exe").c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    corvid::unique_module owner(data);
    std::string message;
    try {
        config::init(data);
    } catch (const corvid::exception_w& e) {
        message = narrow(e.wmessage());
    }
    EXPECT_EQ(message, "Error. config::init. GetModuleFileName return 0.");
}

TEST(ConfigErrors, FileInThePlaceOfTheDumpsFolder) {
    std::wstring folder = appdata_product(L"Lanternfish");
    corvid::remove_directory_tree(narrow(folder));
    std::filesystem::create_directories(std::filesystem::path(folder));
    ASSERT_TRUE(test_support::write_file(narrow(folder + L"\\Dumps"), "in the way"));
    std::wstring message;
    try {
        config::init(nullptr);
    } catch (const corvid::exception_w& e) {
        message = e.wmessage();
    }
    EXPECT_TRUE(same_path(message, L"Error. config::init. Can not create " + folder +
                                       L"\\Dumps: a file of that name is in the way."))
        << narrow(message);
    corvid::remove_directory_tree(narrow(folder));
}

class ConfigCrashDump : public ::testing::Test {
protected:
    void SetUp() override {
        corvid::remove_directory_tree(narrow(appdata_product(L"Lanternfish Probe")));
        dumps_ = appdata_product(L"Lanternfish Probe") + L"\\Dumps\\";
    }
    void TearDown() override { corvid::remove_directory_tree(narrow(appdata_product(L"Lanternfish Probe"))); }

    // The one dump file's name and content; fails the test unless there is
    // exactly one file.
    bool single_dump(std::wstring& name, std::string& content) {
        std::vector<std::wstring> files = files_in(dumps_);
        EXPECT_EQ(files.size(), 1u);
        if (files.size() != 1) return false;
        name = files[0];
        content = read_file(narrow(dumps_ + name));
        return true;
    }

    std::wstring dumps_;
    scratch_dir scratch_{"crash"};
    std::wstring probe_ = own_folder() + L"config_crash_probe.exe";
};

TEST_F(ConfigCrashDump, OneDumpNamedAtFirstInstallAndThePreviousFilterSeesTheCrash) {
    std::wstring marker = wide(scratch_.path()) + L"marker";
    DWORD code = run(probe_, L"crash \"" + marker + L"\" twice", wide(scratch_.path()));
    EXPECT_EQ(code, null_write_code());
    char seen[32];
    std::snprintf(seen, sizeof(seen), "seen %08lx", static_cast<unsigned long>(null_write_code()));
    EXPECT_EQ(read_file(narrow(marker)), seen);

    std::wstring name;
    std::string content;
    ASSERT_TRUE(single_dump(name, content));
    const std::wstring prefix = L"config_crash_probe.exe.";
    ASSERT_EQ(name.substr(0, prefix.size()), prefix) << narrow(name);
    ASSERT_EQ(name.substr(name.size() - 4), L".dmp") << narrow(name);
    long long seconds = std::stoll(name.substr(prefix.size(), name.size() - prefix.size() - 4));
    long long before = std::stoll(read_file(narrow(marker) + ".time"));
    // The second init ran 2.1 s after the first: its time would be before + 2
    // or later.
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, before + 1);
    EXPECT_EQ(content.substr(0, 4), "MDMP") << "not a minidump, " << content.size() << " bytes";
}

TEST_F(ConfigCrashDump, NormalExitRestoresThePreviousFilterAndLeavesNoDump) {
    std::wstring marker = wide(scratch_.path()) + L"marker";
    EXPECT_EQ(run(probe_, L"exit \"" + marker + L"\"", wide(scratch_.path())), 0u);
    EXPECT_EQ(read_file(narrow(marker)), "restored");
    EXPECT_TRUE(exists(narrow(dumps_)));
    EXPECT_TRUE(files_in(dumps_).empty());
}

TEST_F(ConfigCrashDump, LibraryPlantedBesideTheProgramIsNotUsed) {
    std::wstring folder = wide(scratch_.path());
    std::wstring copy = folder + L"config_planted_probe.exe";
    ASSERT_TRUE(::CopyFileW(probe_.c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((own_folder() + L"..\\planted\\dbghelp.dll").c_str(), (folder + L"dbghelp.dll").c_str(),
                            FALSE));

    // Wine prefers its own dbghelp to one beside the program unless told
    // otherwise for that program; told so, the ordinary search takes the
    // planted library, and the check below can tell the two apart. Windows
    // has no such key and always searches the program's folder first.
    const wchar_t app_key[] = L"Software\\Wine\\AppDefaults\\config_planted_probe.exe";
    HKEY overrides = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(app_key) + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &overrides, nullptr),
              ERROR_SUCCESS);
    const wchar_t native_first[] = L"native,builtin";
    ::RegSetValueExW(overrides, L"dbghelp", 0, REG_SZ, reinterpret_cast<const BYTE*>(native_first),
                     sizeof(native_first));
    ::RegCloseKey(overrides);
    struct remove_key {
        const wchar_t* path;
        ~remove_key() { ::RegDeleteTreeW(HKEY_CURRENT_USER, path); }
    } remove_on_exit{app_key};

    std::wstring marker = folder + L"marker";
    ASSERT_EQ(run(copy, L"plain-load \"" + marker + L"\"", folder), 0u);
    ASSERT_EQ(read_file(narrow(marker)), "planted");

    EXPECT_EQ(run(copy, L"crash \"" + marker + L"\"", folder), null_write_code());
    std::wstring name;
    std::string content;
    ASSERT_TRUE(single_dump(name, content));
    EXPECT_EQ(name.substr(0, 25), L"config_planted_probe.exe.");
    EXPECT_EQ(content.substr(0, 4), "MDMP") << "dump written by: " << content.substr(0, 16);
}
