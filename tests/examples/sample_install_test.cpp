// The sample setup installing the real Tarnwick package with the Windows
// Installer of the running system (Wine's msiexec here). The test changes
// the machine: it installs into Program Files and HKLM and removes the
// product again before and after every test, so it runs in a prefix of its
// own (examples/try-sample).
#include <gtest/gtest.h>

#include <string>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/support/start_process.hpp"

using test_support::exists;
using test_support::read_file;
using test_support::scratch_dir;

namespace {

constexpr const char* product_code = "{5B0C7A2E-9D4F-4E61-8A3C-0F2D6B9E1C44}";
constexpr const wchar_t* uninstall_key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnwick";

std::string own_folder() {
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string temp_path() {
    char base[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, base);
    return std::string(base, n);
}

std::string program_files() {
    char buffer[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableA("ProgramW6432", buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string("C:\\Program Files");
}

// Starts `application` with exactly `command_line` and returns its full
// 32-bit exit code; ~0u when it could not be started or waited for.
DWORD run(const std::string& application, const std::string& command_line) {
    std::string writable = command_line;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!test_support::start_process([&] {
            return ::CreateProcessA(application.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &info);
        })) {
        ADD_FAILURE() << "CreateProcessA " << application << " failed: " << ::GetLastError();
        return ~DWORD(0);
    }
    corvid::unique_handle process(info.hProcess);
    corvid::unique_handle thread(info.hThread);
    DWORD code = ~DWORD(0);
    if (::WaitForSingleObject(process.get(), 300000) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.get(), &code)) {
        ADD_FAILURE() << application << " did not end";
    }
    return code;
}

std::string msiexec() {
    char buffer[MAX_PATH];
    UINT n = ::GetSystemDirectoryA(buffer, MAX_PATH);
    return std::string(buffer, n) + "\\msiexec.exe";
}

// The string value of the uninstall key in one registry view, or nothing.
bool read_registration(REGSAM view, const wchar_t* name, std::wstring& value) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall_key, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
    value.assign(buffer, size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return true;
}

class SampleInstall : public ::testing::Test {
protected:
    void SetUp() override {
        uninstall();
        ASSERT_FALSE(installed_file_exists()) << "an earlier installation is still there";
        ASSERT_TRUE(::CopyFileA((own_folder() + "sample_setup.exe").c_str(), setup().c_str(), FALSE));
        ASSERT_TRUE(::CopyFileA((own_folder() + "Tarnwick.msi").c_str(), (work_.path() + "Tarnwick.msi").c_str(),
                                FALSE));
        ::SetFileAttributesA(log_path().c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(log_path().c_str());
    }
    void TearDown() override { uninstall(); }

    static void uninstall() {
        DWORD code = run(msiexec(), "msiexec /x " + std::string(product_code) + " /qn");
        EXPECT_TRUE(code == ERROR_SUCCESS || code == ERROR_UNKNOWN_PRODUCT) << "msiexec /x gave " << code;
    }
    static bool installed_file_exists() { return exists(program_files() + "\\Tarnwick\\readme.txt"); }

    std::string setup() const { return work_.path() + "sample_setup.exe"; }
    static std::string log_path() { return temp_path() + "KAVRO_msi.log.txt"; }

    // A working directory with a blank in its name, as a user name can give.
    scratch_dir work_{"sample setup"};
};

TEST_F(SampleInstall, InstallsWithTheComposedCommandLineAndRecordsTheLanguage) {
    std::string line = "\"" + setup() + "\" /L1031  /s  /V\"/l*v \\\"" + log_path() +
                       "\\\" TARNWICKPROP=1 WEBINSTALLER=1 \"";
    ASSERT_EQ(run(setup(), line), 0u);

    EXPECT_TRUE(installed_file_exists());
    std::wstring language, name;
    EXPECT_TRUE(read_registration(KEY_WOW64_64KEY, L"InstallerLanguage", language));
    EXPECT_EQ(language, L"1031");
    EXPECT_TRUE(read_registration(KEY_WOW64_64KEY, L"DisplayName", name));
    EXPECT_EQ(name, L"Tarnwick");
    // A 64-bit package writes the 64-bit view only; a 32-bit reader would not see it.
    EXPECT_FALSE(read_registration(KEY_WOW64_32KEY, L"InstallerLanguage", language));

    std::string log = read_file(log_path());
    ASSERT_FALSE(log.empty()) << "no verbose log at " << log_path();
    EXPECT_NE(log.find("TARNWICKPROP = 1"), std::string::npos);
    EXPECT_NE(log.find("WEBINSTALLER = 1"), std::string::npos);
    EXPECT_NE(log.find("Name: InstallerLanguage, Value: 1031"), std::string::npos);

    uninstall();
    EXPECT_FALSE(installed_file_exists());
    EXPECT_FALSE(read_registration(KEY_WOW64_64KEY, L"InstallerLanguage", language));
}

TEST_F(SampleInstall, WithoutALanguageTheRegistrationSays1033) {
    ASSERT_EQ(run(setup(), "sample_setup.exe /s /VWEBINSTALLER=1"), 0u);
    std::wstring language;
    EXPECT_TRUE(read_registration(KEY_WOW64_64KEY, L"InstallerLanguage", language));
    EXPECT_EQ(language, L"1033");
}

TEST_F(SampleInstall, ReturnsTheInstallersExitCodeUnchanged) {
    // The package's launch condition refuses BLOCKINSTALL: ERROR_INSTALL_FAILURE.
    EXPECT_EQ(run(setup(), "sample_setup.exe /s /V\"BLOCKINSTALL=1\" /L1031"), DWORD(ERROR_INSTALL_FAILURE));
    EXPECT_FALSE(installed_file_exists());
}

TEST_F(SampleInstall, WithoutThePackageBesideItFailsWithPackageOpenFailed) {
    ASSERT_TRUE(::DeleteFileA((work_.path() + "Tarnwick.msi").c_str()));
    EXPECT_EQ(run(setup(), "sample_setup.exe /s"), DWORD(ERROR_INSTALL_PACKAGE_OPEN_FAILED));
}

}  // namespace
