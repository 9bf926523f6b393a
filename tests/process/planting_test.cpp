// Libraries planted beside a downloaded installer: the installer never loads
// them. A plain program beside the same libraries shows that the planting
// works, and the bootstrapper's run without the restricted search (the
// control) shows that the test would catch a bootstrapper that loads them.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "corvid/handle.hpp"
#include "corvid/temp.hpp"
#include "corvid/win32.hpp"
#include "tests/process/harness.hpp"

using process_test::installer_fixture;

namespace {

const char* const planted[] = {"ole32.dll", "dbghelp.dll", "comctl32.dll", "uxtheme.dll"};

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
    const std::string restricted_control =
        f.pack({{"parameters", "P=1"}}, "restricted.exe", "bootstrapper_restricted.exe");
    const std::string plain = folder + "plain.exe";
    ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "plain_loader.exe").c_str(), plain.c_str(), FALSE));
    for (const char* library : planted)
        ASSERT_TRUE(::CopyFileA((process_test::bin_dir() + "..\\planted-process\\" + library).c_str(),
                                (folder + library).c_str(), FALSE))
            << library;
    const std::string shown = f.pack_large();
    native_first overrides({"plain.exe", "setup.exe", "control.exe", "restricted.exe", "large.exe"});
    const std::string marker = f.temp() + "planted-loads.txt";
    const std::map<std::string, std::string> env = {{"PLANTED_MARKER", marker}};

    // An ordinary load by name beside the planted libraries takes them.
    auto loaded = process_test::run_process(process_test::quote(plain) + " ole32.dll dbghelp.dll comctl32.dll uxtheme.dll",
                                            env, 60000, folder);
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

    // Nor when its progress window is due (not silent, extraction held up
    // past the delay): the common controls come from the system.
    auto windowed = f.start(shown, "", 9, {{"PLANTED_MARKER", marker}, {"PROBE_PARENT_MODULES", "1"}}, folder);
    ASSERT_TRUE(process_test::hold_extraction(windowed, f.temp(), process_test::installer_fixture::large_file_name));
    ::Sleep(1500);
    ::ResumeThread(windowed.thread.get());
    EXPECT_EQ(process_test::wait_for(windowed).exit_code, 9u);
    EXPECT_EQ(process_test::read_all(marker), "") << "planted library loaded by the installer's window";
    std::string modules = f.report()["parent_modules"];
    for (char& c : modules) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(modules.find("\\comctl32.dll"), std::string::npos) << "the window's library was not loaded: " << modules;

    // A load by name, as a shell makes while it launches, after the run's
    // restriction takes the system's library...
    ::DeleteFileA(marker.c_str());
    auto restricted = f.run(restricted_control, "/s", 9, env, folder);
    ASSERT_TRUE(restricted.finished);
    EXPECT_EQ(restricted.exit_code, 9u);
    EXPECT_EQ(process_test::read_all(marker), "") << "planted library loaded despite the restricted search";

    // ...and without the restriction the planted one.
    // Should the planted library be asked for what it lacks, that run
    // crashes: no debugger is wanted for it (the error mode is inherited).
    ::DeleteFileA(marker.c_str());
    UINT mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    auto unguarded = f.run(control, "/s", 9, env, folder);
    ::SetErrorMode(mode);
    EXPECT_TRUE(unguarded.finished);
    for (const char* library : {"ole32.dll", "uxtheme.dll"})
        EXPECT_NE(process_test::read_all(marker).find(folder + library), std::string::npos)
            << "the control run did not load the planted " << library << ": the test cannot tell";

    // The crashed run's files are released a moment after it has ended; its
    // working directory stays behind, as after any crash.
    for (int i = 0; i < 100; ++i) {
        bool left = false;
        for (const std::string& file : {control, folder + "ole32.dll", folder + "uxtheme.dll"})
            if (::GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES && !::DeleteFileA(file.c_str()))
                left = true;
        if (!left) break;
        ::Sleep(50);
    }
    for (const std::string& name : f.temp_entries())
        if (name.rfind("ZELT", 0) == 0) corvid::remove_directory_tree(f.temp() + name);
}

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string folder_of(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

std::string system_folder(bool wow64) {
    char folder[MAX_PATH];
    UINT n = wow64 ? ::GetSystemWow64DirectoryA(folder, MAX_PATH) : ::GetSystemDirectoryA(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) throw std::runtime_error("the system directory is unknown");
    return std::string(folder, n);
}

// The volume and file index of a file, opened through the file system's
// redirection of this process; empty when it cannot be opened.
std::string file_identity(const std::string& path) {
    corvid::unique_file file(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return std::string();
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
           std::to_string(info.nFileIndexLow);
}

// The machine field of a PE file's header; 0 when it is not one.
unsigned pe_machine(const std::string& path) {
    const std::string bytes = process_test::read_all(path);
    if (bytes.size() < 0x40) return 0;
    std::uint32_t pe = 0;
    std::memcpy(&pe, bytes.data() + 0x3c, sizeof(pe));
    if (pe > bytes.size() - 6 || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
    return static_cast<unsigned char>(bytes[pe + 4]) | static_cast<unsigned char>(bytes[pe + 5]) << 8;
}

}  // namespace

// A 32-bit process on 64-bit Windows is told System32 by GetSystemDirectory;
// the file system redirects that folder to SysWOW64, where the 32-bit system
// libraries are. Windows names the modules of such a process by SysWOW64,
// Wine by System32: either name must lead to the same file in SysWOW64, a
// library of the build's own machine type.
TEST(Planting, EveryLibraryOfTheRunComesFromTheSystemDirectoryOfItsBuild) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
    const std::string system = system_folder(false);
    const std::string libraries = system_folder(wow64 != FALSE);
    const unsigned machine = sizeof(void*) == 4 ? 0x14c : 0x8664;
    if (wow64) {
        EXPECT_EQ(lower(libraries.substr(libraries.find_last_of('\\'))), "\\syswow64");
    }

    installer_fixture f("sysdir");
    const std::string installer = f.pack({{"parameters", "P=1"}});
    auto result = f.run(installer, "/s", 0, {{"PROBE_PARENT_MODULES", "1"}});
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exit_code, 0u);
    const std::string modules = f.report()["parent_modules"];
    ASSERT_FALSE(modules.empty()) << "the payload did not run";
    ASSERT_NE(modules, "unreadable");

    bool ole32 = false;
    std::string::size_type start = 0;
    while (start <= modules.size()) {
        std::string::size_type end = modules.find('|', start);
        if (end == std::string::npos) end = modules.size();
        const std::string module = modules.substr(start, end - start);
        start = end + 1;
        if (lower(module) == lower(installer)) continue;
        const std::string folder = lower(folder_of(module));
        EXPECT_TRUE(folder == lower(system) || folder == lower(libraries)) << module;
        const std::string in_libraries = libraries + module.substr(module.find_last_of('\\'));
        const std::string identity = file_identity(module);
        EXPECT_FALSE(identity.empty()) << module;
        EXPECT_EQ(identity, file_identity(in_libraries)) << module << " is not " << in_libraries;
        EXPECT_EQ(pe_machine(module), machine) << module;
        if (lower(module.substr(module.find_last_of('\\') + 1)) == "ole32.dll") ole32 = true;
    }
    // The shell's launch library is loaded ahead of the launch.
    EXPECT_TRUE(ole32) << modules;
}
