// Libraries planted beside a downloaded installer: the installer never loads
// them. A plain program beside the same libraries shows that the planting
// works, and the bootstrapper's run without the restricted search (the
// control) shows that the test would catch a bootstrapper that loads them.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "corvid/temp.hpp"
#include "corvid/win32.hpp"
#include "tests/process/harness.hpp"

using process_test::installer_fixture;

namespace {

const char* const planted[] = {"ole32.dll", "dbghelp.dll"};

// Wine prefers its own libraries to one beside the program unless told
// otherwise per program; with this override it searches like Windows, where
// the program's folder comes first for every library that is not a known
// system library. Removed again when the test ends.
class native_first {
public:
    explicit native_first(const std::vector<std::string>& programs) {
        for (const std::string& program : programs) {
            std::string key = "Software\\Wine\\AppDefaults\\" + program;
            HKEY overrides = nullptr;
            if (::RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &overrides, nullptr) != ERROR_SUCCESS)
                throw std::runtime_error("cannot create " + key);
            keys_.push_back(key);
            const char value[] = "native,builtin";
            for (const char* library : planted) {
                std::string name(library, std::strlen(library) - 4);
                ::RegSetValueExA(overrides, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 sizeof(value));
            }
            ::RegCloseKey(overrides);
        }
    }
    ~native_first() {
        for (const std::string& key : keys_) ::RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    }

private:
    std::vector<std::string> keys_;
};

}  // namespace

TEST(Planting, LibrariesBesideTheInstallerAreNeverLoaded) {
    installer_fixture f("plant");
    const std::string folder = f.work();
    const std::string installer = f.pack({{"parameters", "P=1"}}, "setup.exe");
    const std::string control = f.pack({{"parameters", "P=1"}}, "control.exe", "bootstrapper_unguarded.exe");
    const std::string plain = folder + "plain.exe";
    ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "plain_loader.exe").c_str(), plain.c_str(), FALSE));
    for (const char* library : planted)
        ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "..\\planted-process\\" + library).c_str(),
                                (folder + library).c_str(), FALSE))
            << library;
    native_first overrides({"plain.exe", "setup.exe", "control.exe"});
    const std::string marker = f.temp() + "planted-loads.txt";
    const std::map<std::string, std::string> env = {{"PLANTED_MARKER", marker}};

    // An ordinary load by name beside the planted libraries takes them.
    auto loaded = process_test::run_process(process_test::quote(plain) + " ole32.dll dbghelp.dll", env, 60000, folder);
    ASSERT_TRUE(loaded.finished);
    EXPECT_EQ(loaded.exit_code, 0u);
    std::string loads = process_test::read_all(marker);
    for (const char* library : planted)
        ASSERT_NE(loads.find(folder + library), std::string::npos) << "planting does not work for " << library;
    ::DeleteFileA(marker.c_str());

    // The installer runs its payload and loads none of them, also started
    // with the planting folder as its current directory.
    auto result = f.run(installer, "/s", 9, env, folder);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 9u);
    EXPECT_FALSE(f.report().empty()) << "the payload did not run";
    EXPECT_EQ(process_test::read_all(marker), "") << "planted library loaded by the installer";

    // The same run without the restricted search loads the library that the
    // shell's launch asks for.
    // The planted library lacks what the shell then asks of it, so that run
    // crashes: no debugger is wanted for it (the error mode is inherited).
    ::DeleteFileA(marker.c_str());
    UINT mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    auto unguarded = f.run(control, "/s", 9, env, folder);
    ::SetErrorMode(mode);
    EXPECT_TRUE(unguarded.finished);
    EXPECT_NE(process_test::read_all(marker).find(folder + "ole32.dll"), std::string::npos)
        << "the control run did not load the planted library: the test cannot tell";

    // The crashed run's files are released a moment after it has ended; its
    // working directory stays behind, as after any crash.
    for (int i = 0; i < 100; ++i) {
        bool left = false;
        for (const std::string& file : {control, folder + "ole32.dll"})
            if (::GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES && !::DeleteFileA(file.c_str()))
                left = true;
        if (!left) break;
        ::Sleep(50);
    }
    for (const std::string& name : f.temp_entries())
        if (name.rfind("ZELT", 0) == 0) corvid::remove_directory_tree(f.temp() + name);
}
