#include "corvid/temp.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/support/start_process.hpp"

using test_support::exists;
using test_support::scratch_dir;
using test_support::write_file;

namespace {

// Builds dir/a.txt, dir/sub/b.txt, dir/sub/deeper/c.txt.
void populate(const std::string& dir) {
    ASSERT_TRUE(::CreateDirectoryA((dir + "sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((dir + "sub\\deeper").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir + "a.txt", "a"));
    ASSERT_TRUE(write_file(dir + "sub\\b.txt", "b"));
    ASSERT_TRUE(write_file(dir + "sub\\deeper\\c.txt", "c"));
}

std::string without_trailing(const std::string& p) { return p.substr(0, p.size() - 1); }

}  // namespace

TEST(TempPath, EndsWithBackslashAndExists) {
    std::string temp = corvid::get_temp_path();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
    EXPECT_TRUE(exists(temp));
}

TEST(TempPath, EmptyWhenThePathDoesNotFit260Characters) {
    scratch_dir scratch("longtemp");
    char old_temp[32768];
    DWORD n = ::GetEnvironmentVariableA("TMP", old_temp, sizeof(old_temp));
    std::string long_dir = scratch.path() + std::string(240, 'L');
    ASSERT_GT(long_dir.size(), 260u);
    ASSERT_TRUE(::SetEnvironmentVariableA("TMP", long_dir.c_str()));
    std::string result = corvid::get_temp_path();
    ::SetEnvironmentVariableA("TMP", n ? old_temp : nullptr);
    EXPECT_EQ(result, "");
}

namespace {

// TMP and TEMP set for the duration of a test, restored afterwards.
class temp_variables {
public:
    explicit temp_variables(const std::wstring& value) {
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t old[32768];
            DWORD n = ::GetEnvironmentVariableW(name, old, 32768);
            saved_.emplace_back(name, n ? std::optional<std::wstring>(std::wstring(old, n)) : std::nullopt);
            ::SetEnvironmentVariableW(name, value.c_str());
        }
    }
    ~temp_variables() {
        for (const auto& [name, value] : saved_) ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }

private:
    std::vector<std::pair<const wchar_t*, std::optional<std::wstring>>> saved_;
};

std::wstring long_form(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = ::GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
    return n && n < MAX_PATH * 2 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

TEST(TempPath, DirectoryTheCodePageCannotNameIsGivenInItsShortForm) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test needs a Western ANSI code page";
    scratch_dir scratch("cyrtemp");
    // "Пользователь": not representable in a Western code page.
    const std::wstring name = L"\x041F\x043E\x043B\x044C\x0437\x043E\x0432\x0430\x0442\x0435\x043B\x044C";
    std::wstring dir = corvid::unicode::to_wide(scratch.path(), 0) + name + L"\\";
    ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
    std::string result;
    {
        temp_variables redirected(dir);
        result = corvid::get_temp_path();
    }
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.back(), '\\');
    EXPECT_EQ(result.find('?'), std::string::npos) << result;
    // The narrow text names the very directory: a file made through it is
    // found under the wide name.
    ASSERT_TRUE(write_file(result + "probe.txt", "x"));
    EXPECT_EQ(::GetFileAttributesW((dir + L"probe.txt").c_str()) != INVALID_FILE_ATTRIBUTES, true);
    EXPECT_EQ(long_form(corvid::unicode::to_wide(result, 0)), dir);
    ::DeleteFileW((dir + L"probe.txt").c_str());
    ::RemoveDirectoryW(dir.c_str());
}

TEST(TempPath, RepresentableDirectoryKeepsItsLongForm) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test needs a Western ANSI code page";
    scratch_dir scratch("latintemp");
    // "Café Ünïcode": blanks and characters the Western code page has.
    std::string dir = scratch.path() + "Caf\xE9 \xDCn\xEF" "code\\";
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
    std::string result;
    {
        temp_variables redirected(corvid::unicode::to_wide(dir, 0));
        result = corvid::get_temp_path();
    }
    EXPECT_EQ(result, dir);
    ::RemoveDirectoryA(dir.c_str());
}

TEST(RemoveDirectoryTree, RemovesTreeWithOrWithoutSeparator) {
    for (const char* form : {"with-backslash", "without", "slash"}) {
        scratch_dir scratch("rm");
        std::string dir = scratch.path() + "tree\\";
        ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
        populate(dir);
        std::string given = dir;
        if (std::string(form) == "without") given = without_trailing(dir);
        if (std::string(form) == "slash") given = without_trailing(dir) + "/";
        EXPECT_TRUE(corvid::remove_directory_tree(given)) << form;
        EXPECT_FALSE(exists(dir)) << form;
    }
}

TEST(RemoveDirectoryTree, MissingPathIsFalseAndEmptyDirectoryIsTrue) {
    scratch_dir scratch("rm");
    EXPECT_FALSE(corvid::remove_directory_tree(scratch.path() + "missing"));
    std::string empty = scratch.path() + "empty";
    ASSERT_TRUE(::CreateDirectoryA(empty.c_str(), nullptr));
    EXPECT_TRUE(corvid::remove_directory_tree(empty));
    EXPECT_FALSE(exists(empty));
}

TEST(RemoveDirectoryTree, DotNamedDirectoriesAndProtectedFilesAreRemoved) {
    scratch_dir scratch("rm");
    std::string dir = scratch.path() + "tree\\";
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA((dir + ".hidden").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir + ".hidden\\inside.txt", "x"));
    ASSERT_TRUE(write_file(dir + "ro.txt", "r"));
    ASSERT_TRUE(::SetFileAttributesA((dir + "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(write_file(dir + "sys.txt", "s"));
    ASSERT_TRUE(::SetFileAttributesA((dir + "sys.txt").c_str(),
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(corvid::remove_directory_tree(dir));
    EXPECT_FALSE(exists(dir));
}

TEST(RemoveDirectoryTree, FileOpenElsewhereStaysAndTheResultIsFalse) {
    scratch_dir scratch("rm");
    std::string dir = scratch.path() + "tree\\";
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
    populate(dir);
    {
        corvid::unique_file held(::CreateFileA((dir + "sub\\b.txt").c_str(), GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        EXPECT_FALSE(corvid::remove_directory_tree(dir));
        EXPECT_TRUE(exists(dir + "sub\\b.txt"));
        EXPECT_FALSE(exists(dir + "a.txt"));
        EXPECT_FALSE(exists(dir + "sub\\deeper"));
    }
    EXPECT_TRUE(corvid::remove_directory_tree(dir));
}

namespace {

// Unix path of a Windows path under Wine; empty elsewhere.
std::string unix_path(const std::string& path) {
    using fn = char*(CDECL*)(LPCWSTR);
    auto get = reinterpret_cast<fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!get) return std::string();
    std::wstring wide(path.begin(), path.end());
    char* unix_name = get(wide.c_str());
    if (!unix_name) return std::string();
    std::string result(unix_name);
    ::HeapFree(::GetProcessHeap(), 0, unix_name);
    return result;
}

// Makes link a directory link to target: a symbolic link where the system
// can create one, otherwise (Wine, whose API cannot) a Unix symbolic link,
// which Wine presents as a directory reparse point.
bool make_directory_link(const std::string& link, const std::string& target) {
    using create_link_fn = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    auto create = reinterpret_cast<create_link_fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
    const DWORD directory_flag = 0x1, unprivileged = 0x2;
    if (create && create(link.c_str(), target.c_str(), directory_flag | unprivileged) && exists(link))
        return true;
    std::string unix_target = unix_path(target), unix_dir = unix_path(link.substr(0, link.rfind('\\')));
    if (unix_target.empty() || unix_dir.empty()) return false;
    std::string command = "Z:\\bin\\ln -s \"" + unix_target + "\" \"" + unix_dir + "/" +
                          link.substr(link.rfind('\\') + 1) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!test_support::start_process([&] {
            return ::CreateProcessA("Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &process);
        }))
        return false;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    for (int i = 0; i < 50 && !exists(link); ++i) ::Sleep(20);
    return exists(link);
}

}  // namespace

TEST(RemoveDirectoryTree, NeverDescendsThroughADirectoryLink) {
    scratch_dir scratch("rm");
    std::string outside = scratch.path() + "outside\\";
    ASSERT_TRUE(::CreateDirectoryA(outside.c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + "precious.txt", "keep me"));
    std::string dir = scratch.path() + "tree\\";
    ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
    ASSERT_TRUE(write_file(dir + "a.txt", "a"));
    if (!make_directory_link(dir + "link", without_trailing(outside)))
        GTEST_SKIP() << "this system cannot create directory links";
    DWORD attributes = ::GetFileAttributesA((dir + "link").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ASSERT_TRUE(exists(dir + "link\\precious.txt"));

    bool removed = corvid::remove_directory_tree(dir);
    EXPECT_EQ(test_support::read_file(outside + "precious.txt"), "keep me");
    EXPECT_FALSE(exists(dir + "a.txt"));
    // Windows removes the link itself; Wine cannot remove a Unix link, which
    // then keeps the tree (and only the tree) in place.
    EXPECT_EQ(removed, !exists(dir + "link"));

    // A link given as the tree itself is not emptied either.
    if (make_directory_link(scratch.path() + "toplink", without_trailing(outside))) {
        corvid::remove_directory_tree(scratch.path() + "toplink");
        EXPECT_EQ(test_support::read_file(outside + "precious.txt"), "keep me");
    }
}
