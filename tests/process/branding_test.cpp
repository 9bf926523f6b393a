// A branded installer as Windows reads it back: its version information, the
// names the run loads, its icon, and a run that finds the installed copy
// under the new product name. The texts travel on a wide command line, with
// characters outside the ANSI code page.
#include <gtest/gtest.h>

#include "corvid/handle.hpp"
#include "tests/process/harness.hpp"

// After the Windows headers.
#include <shellapi.h>

using process_test::installer_fixture;

namespace {

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

const wchar_t product[] = L"Tarnwick \u0141\u00f3d\u017a";  // "Tarnwick Łódź"
const wchar_t uninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Packs the probe into the stub of this build with an identity, through
// chunkpack's wide command line.
std::string pack_branded(installer_fixture& f) {
    const std::string out = f.work() + "Tarnwick_setup.exe";
    const std::wstring cmd = L"\"" + wide(process_test::bin_dir()) + L"chunkpack.exe\" build --stub \"" +
                             wide(process_test::bin_dir()) + L"bootstrapper.exe\" --out \"" + wide(out) +
                             L"\" --value executable32=%installer32% --file \"installer32=" +
                             wide(process_test::bin_dir()) + L"probe.exe\" --product-name \"" + product +
                             L"\" --vendor-name \"Brellory Labs\" --file-version 5.2.0.7 --product-version 5.2"
                             L" --legal-copyright \"\u00a9 2026 Brellory\" --icon " + wide(BRANDING_ICON);
    const process_test::started s = process_test::run_process_w(cmd, {});
    if (!s.finished || s.exit_code != 0) throw std::runtime_error("chunkpack build failed: " + std::to_string(s.exit_code));
    return out;
}

struct registration {
    explicit registration(const std::wstring& name, const wchar_t* language) : key_(uninstall + name) {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create the uninstall key");
        ::RegSetValueExW(key, L"InstallerLanguage", 0, REG_SZ, reinterpret_cast<const BYTE*>(language),
                         static_cast<DWORD>((wcslen(language) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }
    ~registration() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str()); }
    std::wstring key_;
};

}  // namespace

TEST(Branding, VersionInformationNamesAndIconReadBack) {
    installer_fixture f("brandread");
    const std::wstring path = wide(pack_branded(f));

    DWORD ignored = 0;
    std::string info(::GetFileVersionInfoSizeW(path.c_str(), &ignored), '\0');
    ASSERT_FALSE(info.empty()) << "no version information, error " << ::GetLastError();
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &value, &size));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00050002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000007u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00050002u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &size));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0000) << "not language neutral";
    EXPECT_EQ(static_cast<const WORD*>(value)[1], 1200) << "not Unicode";
    const std::pair<const wchar_t*, std::wstring> texts[] = {
        {L"CompanyName", L"Brellory Labs"},
        {L"FileDescription", std::wstring(product) + L" Setup"},
        {L"FileVersion", L"5.2.0.7"},
        {L"LegalCopyright", L"\u00a9 2026 Brellory"},
        {L"OriginalFilename", L"Tarnwick_setup.exe"},
        {L"ProductName", product},
        {L"ProductVersion", L"5.2.0.0"},
    };
    for (const auto& [key, expected] : texts) {
        ASSERT_TRUE(::VerQueryValueW(info.data(), (std::wstring(L"\\StringFileInfo\\000004b0\\") + key).c_str(),
                                     &value, &size))
            << "no " << key;
        EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), expected);
    }

    corvid::unique_module module(
        ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << ::GetLastError();
    wchar_t text[260] = {};
    EXPECT_EQ(std::wstring(text, ::LoadStringW(module.get(), 2001, text, 260)), L"Brellory Labs");
    EXPECT_EQ(std::wstring(text, ::LoadStringW(module.get(), 2002, text, 260)), product);
    EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)), nullptr) << "manifest lost";

    // The group lists the icon file's three images; each size the group
    // offers is found and loads at that size.
    HRSRC group_resource = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_NE(group_resource, nullptr);
    auto* group = static_cast<BYTE*>(::LockResource(::LoadResource(module.get(), group_resource)));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(reinterpret_cast<const WORD*>(group)[2], 3);
    for (int n : {16, 32, 48}) {
        SCOPED_TRACE(n);
        const int id = ::LookupIconIdFromDirectoryEx(group, TRUE, n, n, LR_DEFAULTCOLOR);
        HRSRC image = ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
        ASSERT_NE(image, nullptr);
        HICON icon = ::CreateIconFromResourceEx(static_cast<BYTE*>(::LockResource(::LoadResource(module.get(), image))),
                                                ::SizeofResource(module.get(), image), TRUE, 0x00030000, n, n, 0);
        ASSERT_NE(icon, nullptr);
        ICONINFO icon_info{};
        ASSERT_TRUE(::GetIconInfo(icon, &icon_info));
        BITMAP bitmap{};
        ::GetObjectW(icon_info.hbmColor, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, n);
        ::DeleteObject(icon_info.hbmColor);
        ::DeleteObject(icon_info.hbmMask);
        ::DestroyIcon(icon);
    }
    HICON large = nullptr;
    ASSERT_EQ(::ExtractIconExW(path.c_str(), 0, &large, nullptr, 1), 1u);
    ::DestroyIcon(large);
}

TEST(Branding, RunFindsTheInstalledCopyUnderTheNewProductName) {
    installer_fixture f("brandrun");
    const std::string installer = pack_branded(f);
    registration old_name(L"Tarnwick", L"1036"), new_name(product, L"1031");
    ASSERT_EQ(f.run(installer, "/s", 7).exit_code, 7u);
    const std::string command_line = f.report()["commandline"];
    EXPECT_NE(command_line.find("/L1031 /s"), std::string::npos) << command_line;
    EXPECT_EQ(command_line.find("/L1036"), std::string::npos) << command_line;
    // The run's log names the product as the stub now does (UTF-8).
    EXPECT_NE(process_test::read_all(f.temp() + "Keelson.log.txt").find("Tarnwick \xc5\x81\xc3\xb3" "d\xc5\xba"),
              std::string::npos);
}
