// What a run leaves for the support team and what it reads from an installed
// copy: the bootstrapper's own log file, and the language of the product's
// registration.
#include <gtest/gtest.h>

#include "corvid/handle.hpp"
#include "tests/process/harness.hpp"

using process_test::installer_fixture;

namespace {

const wchar_t uninstall_key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnwick";

// The product's registration under HKLM for the duration of a test, in the
// registry view given (0: the view of this program's own build, which is the
// bootstrapper's).
class installed_copy {
public:
    explicit installed_copy(const wchar_t* language, REGSAM view = 0) : view_(view) {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall_key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create the uninstall key");
        DWORD bytes = static_cast<DWORD>((std::wcslen(language) + 1) * sizeof(wchar_t));
        LONG status = ::RegSetValueExW(key, L"InstallerLanguage", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(language), bytes);
        ::RegCloseKey(key);
        if (status != ERROR_SUCCESS) throw std::runtime_error("cannot write InstallerLanguage");
    }
    ~installed_copy() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, uninstall_key, view_, 0); }
    installed_copy(const installed_copy&) = delete;
    installed_copy& operator=(const installed_copy&) = delete;

private:
    REGSAM view_;
};

// Whether the product's uninstall key exists in a registry view.
bool uninstall_key_in(REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall_key, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

constexpr bool build_is_32bit = sizeof(void*) == 4;

std::string parameters_of(const std::string& command_line) {
    std::string::size_type end =
        command_line.rfind('"', 0) == 0 ? command_line.find('"', 1) + 1 : command_line.find(' ');
    return end == std::string::npos || end >= command_line.size() ? std::string() : command_line.substr(end + 1);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::string::size_type at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Wiring, LogFileHoldsTheLaunchLinesOfEveryRunWithOneByteOrderMark) {
    installer_fixture f("logwire");
    std::string installer = f.pack({{"parameters", "/V\"A=1 \""}});
    ASSERT_EQ(f.run(installer, "/s", 3).exit_code, 3u);
    ASSERT_EQ(f.run(installer, "/s /qn", 4).exit_code, 4u);

    std::string log = process_test::read_all(f.temp() + "Keelson.log.txt");
    ASSERT_GE(log.size(), 3u) << "no log file";
    EXPECT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(count(log, "\xEF\xBB\xBF"), 1);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");

    // Each run: an empty line, the product name, the payload file, the
    // parameters, an empty line; every line behind a "YYYY/MM/DD hh:mm:ss" +
    // four blanks prefix.
    std::vector<std::string> lines = lines_of(log.substr(3));
    ASSERT_EQ(lines.size(), 10u) << log;
    const std::string::size_type prefix = std::string("2019/08/05 14:03:07    ").size();
    for (const std::string& line : lines) {
        ASSERT_GE(line.size(), prefix);
        EXPECT_EQ(line.substr(10, 1), " ");
        EXPECT_EQ(line.substr(19, 4), "    ") << line;
    }
    const std::string temp = f.temp().substr(0, f.temp().size() - 1);
    for (int run = 0; run < 2; ++run) {
        const std::string own = run == 0 ? "/s" : "/s /qn";
        EXPECT_EQ(lines[run * 5 + 0].substr(prefix), "");
        EXPECT_EQ(lines[run * 5 + 1].substr(prefix), "Tarnwick");
        EXPECT_EQ(lines[run * 5 + 2].rfind("File: " + temp + "\\ZELT", prefix), prefix) << lines[run * 5 + 2];
        EXPECT_NE(lines[run * 5 + 2].find("\\probe.exe"), std::string::npos);
        EXPECT_EQ(lines[run * 5 + 3].substr(prefix), "Parameters: " + own + " /V\" A=1 \"");
        EXPECT_EQ(lines[run * 5 + 4].substr(prefix), "");
    }
}

TEST(Wiring, LanguageOfTheInstalledCopyReachesThePayload) {
    installer_fixture f("langwire");
    std::string installer = f.pack({{"parameters", "/V\"A=1 \""}});
    installed_copy copy(L"1031");

    ASSERT_EQ(f.run(installer, "/s").exit_code, 0u);
    EXPECT_EQ(parameters_of(f.report()["commandline"]), "/L1031 /s /V\" A=1 \"");

    // A language switch on the own command line is never overridden.
    ::DeleteFileA(f.report_path().c_str());
    ASSERT_EQ(f.run(installer, "/s /L1036").exit_code, 0u);
    EXPECT_EQ(parameters_of(f.report()["commandline"]), "/s /L1036 /V\" A=1 \"");
}

// The uninstall area is redirected on 64-bit Windows: an x86 product (and an
// x86 MSI) registers under WOW6432Node, which only the 32-bit view shows, and
// the 32-bit bootstrapper must find it there. A registration in the other
// view belongs to the other architecture's product and is not used.
TEST(Wiring, LanguageComesFromTheRegistryViewOfTheBuild) {
    const REGSAM own_view = build_is_32bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const REGSAM other_view = build_is_32bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    installer_fixture f("langview");
    std::string installer = f.pack({{"parameters", "/V\"A=1 \""}});
    {
        installed_copy copy(L"1036", own_view);
        ASSERT_TRUE(uninstall_key_in(0)) << "the explicit view is not the build's own";
        ASSERT_FALSE(uninstall_key_in(other_view)) << "the uninstall key is shared between the views";
        ASSERT_EQ(f.run(installer, "/s").exit_code, 0u);
        EXPECT_EQ(parameters_of(f.report()["commandline"]), "/L1036 /s /V\" A=1 \"");
    }
    ::DeleteFileA(f.report_path().c_str());
    {
        installed_copy copy(L"1031", other_view);
        ASSERT_FALSE(uninstall_key_in(0));
        ASSERT_EQ(f.run(installer, "/s").exit_code, 0u);
        EXPECT_EQ(parameters_of(f.report()["commandline"]), "/s /V\" A=1 \"");
    }
}
