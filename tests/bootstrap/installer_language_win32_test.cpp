#include "bootstrap/installer_language_win32.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "corvid/win32.hpp"

namespace {

const std::wstring product = L"Corvid Language Test";
const std::wstring uninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product;

// The product's uninstall key, made afresh for each test and removed after it.
class InstallerLanguageRegistry : public ::testing::Test {
protected:
    void SetUp() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, uninstall.c_str()); }
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, uninstall.c_str()); }

    void set(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &key, nullptr),
                  ERROR_SUCCESS);
        LSTATUS status = ::RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        ASSERT_EQ(status, ERROR_SUCCESS);
    }

    std::string apply(const std::string& parameters) {
        return bootstrap::apply_installer_language(parameters, product,
                                                   [&](const std::string& line) { log_.push_back(line); });
    }

    std::vector<std::string> log_;
};

using InstallerLanguageCorrection = InstallerLanguageRegistry;

}  // namespace

TEST_F(InstallerLanguageRegistry, StoredLcid) {
    set(L"InstallerLanguage", L"1031");
    EXPECT_EQ(apply(" /V\" A=1 \""), "/L1031  /V\" A=1 \"");
}

TEST_F(InstallerLanguageRegistry, MarkerKeepsUsEnglish) {
    set(L"InstallerLanguage", L"1033");
    set(L"en_US_UK", L"1");
    EXPECT_EQ(apply(""), "/L1033 ");
    EXPECT_TRUE(log_.empty());
}

TEST_F(InstallerLanguageRegistry, LanguageNames) {
    set(L"InstallLang", L"French");
    EXPECT_EQ(apply(""), "/L1036 ");
    set(L"InstallLang", L"english");
    EXPECT_EQ(apply(""), "/L1033 ");
    // Expandable text is text too.
    set(L"InstallLang", L"Polish", REG_EXPAND_SZ);
    EXPECT_EQ(apply(""), "/L1045 ");
}

// Run under several locales (see CMakeLists.txt); CORVID_REQUIRE_ACP makes
// sure the session has the ANSI code page a run means to test, UTF-8 (65001)
// among them, where narrow conversions must not pass the flags that the
// system refuses for that code page.
TEST_F(InstallerLanguageRegistry, LanguageFromTheRegistryWhateverTheAnsiCodePage) {
    if (const char* required = std::getenv("CORVID_REQUIRE_ACP")) {
        ASSERT_EQ(::GetACP(), std::strtoul(required, nullptr, 0)) << "the session's ANSI code page";
    }
    set(L"InstallerLanguage", L"1031");
    EXPECT_EQ(apply(" /qb"), "/L1031  /qb");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, uninstall.c_str());
    set(L"InstallLang", L"Japanese");
    EXPECT_EQ(apply(""), "/L1041 ");
}

TEST_F(InstallerLanguageRegistry, OwnSwitchWins) {
    set(L"InstallerLanguage", L"1031");
    set(L"InstallLang", L"French");
    EXPECT_EQ(apply("/L1036"), "/L1036");
}

TEST_F(InstallerLanguageRegistry, UnreadableValuesAreSkipped) {
    EXPECT_EQ(apply(" /qb"), " /qb");  // no uninstall key at all

    // Not text: step one fails, the language name still applies.
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    DWORD number = 1031;
    ::RegSetValueExW(key, L"InstallerLanguage", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                     sizeof(number));
    ::RegCloseKey(key);
    set(L"InstallLang", L"Swedish");
    EXPECT_EQ(apply(""), "/L1053 ");

    // The run's text is UTF-8: a value outside the ANSI code page is taken
    // as it stands, never replaced.
    set(L"InstallerLanguage", L"\u0416\u20AC");
    EXPECT_EQ(apply(""), "/L\xD0\x96\xE2\x82\xAC ");
}

// The correction depends on the system's default language, fixed per Wine
// session by its locale. CORVID_REQUIRE_LANGID (for instance 0x0407) makes
// sure the session has the locale that a run means to test.
TEST_F(InstallerLanguageCorrection, UsEnglishOnThisSystem) {
    LANGID system = ::GetSystemDefaultLangID();
    if (const char* required = std::getenv("CORVID_REQUIRE_LANGID")) {
        ASSERT_EQ(system, std::strtoul(required, nullptr, 0)) << "the session's locale is not the one required";
    }

    set(L"InstallerLanguage", L"1033");
    std::string result = apply(" /qb");
    if (system == 0x0409) {
        EXPECT_EQ(result, "/L1033  /qb");
        EXPECT_TRUE(log_.empty());
    } else {
        EXPECT_EQ(result, "/L2057  /qb");
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_EQ(log_[0], "Install Language set to \"2057\"");
    }
}

TEST_F(InstallerLanguageCorrection, MarkerStopsItOnEverySystem) {
    if (const char* required = std::getenv("CORVID_REQUIRE_LANGID")) {
        ASSERT_EQ(::GetSystemDefaultLangID(), std::strtoul(required, nullptr, 0));
    }
    set(L"InstallerLanguage", L"1033");
    set(L"en_US_UK", L"yes");
    set(L"InstallLang", L"German");
    EXPECT_EQ(apply(""), "/L1033 ");
    EXPECT_TRUE(log_.empty());
}
