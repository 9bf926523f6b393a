#include "corvid/temp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "corvid/win32.hpp"
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "tests/support/scratch_dir.hpp"

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

std::wstring wide(const std::string& path) { return corvid::unicode::to_wide(path, 0); }

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
    const std::string unix_target = test_support::unix_path(target), unix_link = test_support::unix_path(link);
    if (unix_target.empty() || unix_link.empty()) return false;
    test_support::run_unix_shell("ln -s '" + unix_target + "' '" + unix_link + "'");
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

TEST(RemoveDirectoryTree, EmptyPathDeletesNothing) {
    // An empty path must not become "\", the root of the current drive.
    scratch_dir scratch("rmempty");
    ASSERT_TRUE(write_file(scratch.path() + "stays.txt", "x"));
    char old[MAX_PATH];
    DWORD n = ::GetCurrentDirectoryA(MAX_PATH, old);
    ASSERT_TRUE(::SetCurrentDirectoryA(scratch.path().c_str()));
    const bool removed = corvid::remove_directory_tree("");
    ::SetCurrentDirectoryA(std::string(old, n).c_str());
    EXPECT_FALSE(removed);
    EXPECT_TRUE(exists(scratch.path() + "stays.txt"));
}

// A subfolder of the tree is swapped for a link to a folder outside it, and
// back, over and over while trees are removed: nothing outside may change,
// neither a file deleted nor an attribute cleared.
TEST(RemoveDirectoryTree, LinkSwappedInDuringRemovalNeverLeadsOutside) {
    scratch_dir scratch("rmrace");
    const std::string outside = scratch.path() + "outside\\";
    ASSERT_TRUE(::CreateDirectoryA(outside.c_str(), nullptr));
    for (const char* name : {"victim.txt", "other.txt"}) {
        ASSERT_TRUE(write_file(outside + name, "keep me"));
        ASSERT_TRUE(::SetFileAttributesA((outside + name).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    const std::string unix_scratch = test_support::unix_path(scratch.path());
    if (unix_scratch.empty()) GTEST_SKIP() << "needs Wine's Unix side to make links";

    // The racer swaps tree/sub for a link to outside and back, as fast as it
    // can, until the stop file appears. It says when it has started and when
    // it has made a hundred swaps: an interpreter that starts slowly on a
    // loaded machine must not leave the removals to run unraced.
    const std::string script =
        "import os,time\n"
        "d=os.environ['RACE_DIR']\n"
        "n=0\n"
        "open(d+'/running','w').close()\n"
        "while not os.path.exists(d+'/stop'):\n"
        "  try:\n"
        "    os.rename(d+'/tree/sub',d+'/tree/real')\n"
        "    os.symlink(d+'/outside',d+'/tree/sub')\n"
        "    n+=1\n"
        "    if n==100: open(d+'/hundred','w').close()\n"
        "    os.unlink(d+'/tree/sub')\n"
        "    os.rename(d+'/tree/real',d+'/tree/sub')\n"
        "  except OSError:\n"
        "    time.sleep(0.0001)\n"
        "open(d+'/swaps.part','w').write(str(n))\n"
        "os.rename(d+'/swaps.part',d+'/swaps')\n";
    ASSERT_TRUE(write_file(scratch.path() + "race.py", script));
    ASSERT_TRUE(::SetEnvironmentVariableA("RACE_DIR", unix_scratch.c_str()));
    ASSERT_TRUE(::SetEnvironmentVariableA("PYTHONDONTWRITEBYTECODE", "1"));

    // The racer stops when this test ends, however it ends.
    struct stopper {
        std::string path;
        ~stopper() {
            write_file(path + "stop", "");
            for (int i = 0; i < 200 && !exists(path + "swaps"); ++i) ::Sleep(50);
        }
    };
    int rounds = 0;
    {
        ASSERT_TRUE(test_support::start_unix_program("Z:\\usr\\bin\\python3", "python3 " + unix_scratch + "race.py"));
        stopper stop{scratch.path()};
        for (int i = 0; i < 600 && !exists(scratch.path() + "running"); ++i) ::Sleep(50);
        ASSERT_TRUE(exists(scratch.path() + "running")) << "the racer did not start";
        const std::string tree = scratch.path() + "tree\\";
        // At least 3 s, and on a loaded machine for as long as it takes the
        // racer and the removals to get going.
        const DWORD start = ::GetTickCount();
        for (DWORD spent = 0; spent < 60000 && (spent < 3000 || rounds <= 20 || !exists(scratch.path() + "hundred"));
             spent = ::GetTickCount() - start) {
            // Built beside the tree and moved in, so that nothing is ever
            // written through a link the racer has just put there.
            const std::string stage = scratch.path() + "stage\\";
            corvid::remove_directory_tree(stage);
            ASSERT_TRUE(::CreateDirectoryA(stage.c_str(), nullptr));
            for (const char* name : {"victim.txt", "other.txt"}) {
                ASSERT_TRUE(write_file(stage + name, "ours"));
                ::SetFileAttributesA((stage + name).c_str(), FILE_ATTRIBUTE_READONLY);
            }
            ::CreateDirectoryA(tree.c_str(), nullptr);
            if (!::MoveFileA(without_trailing(stage).c_str(), (tree + "sub").c_str())) continue;
            corvid::remove_directory_tree(tree);
            ++rounds;
            bool intact = true;
            for (const char* name : {"victim.txt", "other.txt"}) {
                intact = intact && test_support::read_file(outside + name) == "keep me" &&
                         (::GetFileAttributesA((outside + name).c_str()) & FILE_ATTRIBUTE_READONLY);
            }
            ASSERT_TRUE(intact) << "a file outside the tree changed in round " << rounds;
        }
    }
    const std::string swaps = test_support::read_file(scratch.path() + "swaps");
    EXPECT_GT(std::atoi(swaps.c_str()), 100) << "the racer hardly ran: the test proves little";
    EXPECT_GT(rounds, 20);
    EXPECT_EQ(test_support::names_in(outside), (std::vector<std::string>{"other.txt", "victim.txt"}));
    // Whatever the race left behind is ours to clear.
    ::DeleteFileA((scratch.path() + "tree\\sub").c_str());
    ::RemoveDirectoryA((scratch.path() + "tree\\sub").c_str());
    corvid::remove_directory_tree(scratch.path() + "tree");
    for (const char* name : {"victim.txt", "other.txt"}) ::SetFileAttributesA((outside + name).c_str(), 0);
}

namespace {

struct folder_security {
    std::string owner;                // SID in SDDL form
    std::vector<std::string> grants;  // "SID:mask:flags" for each allowed entry
    bool protected_dacl = false;
    bool inherited_entries = false;
    bool other_entries = false;
};

std::string sid_text(PSID sid) {
    LPSTR text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) return "?";
    std::string result(text);
    ::LocalFree(text);
    return result;
}

folder_security read_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    folder_security result;
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner ||
        !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return result;
    result.owner = sid_text(owner);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    result.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceFlags & INHERITED_ACE) result.inherited_entries = true;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            result.other_entries = true;
            continue;
        }
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        char text[64];
        std::snprintf(text, sizeof(text), ":%08lx:%02x", static_cast<unsigned long>(ace->Mask), header->AceFlags);
        result.grants.push_back(sid_text(&ace->SidStart) + text);
    }
    std::sort(result.grants.begin(), result.grants.end());
    return result;
}

folder_security read_back(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring wide = corvid::unicode::to_wide(path, 0);
    if (::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return folder_security();
    folder_security result = read_descriptor(descriptor);
    ::LocalFree(descriptor);
    return result;
}

// Wine 8 keeps no security descriptor for files: it makes one up from the
// Unix mode bits whenever asked, whatever was set.
bool file_security_is_kept() {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
}

std::string own_user_sid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    unsigned char buffer[256];
    DWORD size = 0;
    bool ok = ::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    ::CloseHandle(token);
    return ok ? sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : std::string();
}

// Full access (FILE_ALL_ACCESS), inherited by files and folders inside.
std::string full(const std::string& sid) { return sid + ":001f01ff:03"; }

}  // namespace

TEST(PrivateDirectory, OnlyTheRunsAccountsMayUseItAndNothingIsInherited) {
    scratch_dir scratch("private");
    const std::string user = own_user_sid();
    ASSERT_FALSE(user.empty());
    auto expected_grants = [&](bool elevated) {
        std::vector<std::string> want{full("S-1-5-18"), full("S-1-5-32-544")};
        if (!elevated) want.push_back(full(user));
        std::sort(want.begin(), want.end());
        return want;
    };

    // Both forms of the descriptor, as the system reads them.
    for (bool elevated : {true, false}) {
        std::wstring sddl = corvid::private_directory_sddl(elevated, corvid::unicode::to_wide(user, 0));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                           nullptr));
        folder_security back = read_descriptor(descriptor);
        ::LocalFree(descriptor);
        EXPECT_EQ(back.owner, elevated ? "S-1-5-32-544" : user) << elevated;
        EXPECT_EQ(back.grants, expected_grants(elevated)) << elevated;
        EXPECT_TRUE(back.protected_dacl) << elevated;
        EXPECT_FALSE(back.inherited_entries);
        EXPECT_FALSE(back.other_entries);
    }

    // The folder itself, for this process's kind of run.
    const std::string dir = scratch.path() + "ZELT1\\";
    corvid::working_folder folder;
    ASSERT_TRUE(folder.create(wide(scratch.path()), L"ZELT1")) << ::GetLastError();
    ASSERT_TRUE(write_file(dir + "payload.exe", "x"));
    if (!file_security_is_kept()) {
        // Wine turns the descriptor into Unix mode bits: none for others, and
        // no writing for the group, where a folder made without it gets 755.
        ASSERT_TRUE(::CreateDirectoryA((scratch.path() + "plain").c_str(), nullptr));
        EXPECT_EQ(test_support::run_unix_shell("stat -c %a '" + test_support::unix_path(dir) + "' '" +
                                               test_support::unix_path(scratch.path() + "plain") + "'"),
                  "750\n755\n");
        return;
    }
    const bool elevated = corvid::process_is_elevated();
    folder_security mine = read_back(dir);
    EXPECT_EQ(mine.owner, elevated ? "S-1-5-32-544" : user);
    EXPECT_EQ(mine.grants, expected_grants(elevated));
    EXPECT_TRUE(mine.protected_dacl);
    EXPECT_FALSE(mine.inherited_entries);
    // A file made inside gets the folder's entries, not those of %TEMP%.
    folder_security file = read_back(dir + "payload.exe");
    EXPECT_EQ(file.grants.size(), expected_grants(elevated).size());
}

TEST(PrivateDirectory, WhatIsAlreadyThereIsRemovedAndTheFolderMadeAnew) {
    scratch_dir scratch("private");
    const std::string outside = scratch.path() + "outside\\";
    ASSERT_TRUE(::CreateDirectoryA(outside.c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + "precious.txt", "keep me"));

    // What may stand under the name: a folder planted with a library and a
    // file, a plain file, a link to a folder elsewhere.
    const std::string planted = scratch.path() + "ZELT2\\";
    ASSERT_TRUE(::CreateDirectoryA(planted.c_str(), nullptr));
    ASSERT_TRUE(write_file(planted + "version.dll", "planted"));
    ASSERT_TRUE(write_file(planted + "setup.exe", "planted"));
    ASSERT_TRUE(write_file(scratch.path() + "ZELT3", "planted"));
    const bool linked = make_directory_link(scratch.path() + "ZELT4", without_trailing(outside));
    for (const wchar_t* name : {L"ZELT2", L"ZELT3", L"ZELT4"}) {
        const std::string path = scratch.path() + corvid::unicode::to_narrow(name, 0, true) + "\\";
        corvid::working_folder folder;
        const bool made = folder.create(wide(scratch.path()), name);
        EXPECT_EQ(test_support::read_file(outside + "precious.txt"), "keep me");
        // Wine cannot remove a Unix link: then there is no fresh folder.
        if (std::wstring(name) == L"ZELT4" && (!linked || !made)) continue;
        ASSERT_TRUE(made) << path;
        EXPECT_TRUE(test_support::names_in(path).empty()) << path;
        if (file_security_is_kept()) {
            EXPECT_TRUE(read_back(path).protected_dacl) << path;
        }
        EXPECT_NE(::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u) << path;
    }

    // A file that cannot be deleted (held open without delete sharing):
    // no fresh folder can be had.
    const std::string held_dir = scratch.path() + "ZELT5\\";
    ASSERT_TRUE(::CreateDirectoryA(held_dir.c_str(), nullptr));
    ASSERT_TRUE(write_file(held_dir + "version.dll", "planted"));
    {
        corvid::unique_file held(::CreateFileA((held_dir + "version.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        corvid::working_folder folder;
        EXPECT_FALSE(folder.create(wide(scratch.path()), L"ZELT5"));
    }
}

// Nobody can rename the folder away while it is held (a rename from Wine's
// Unix side would ignore the hold: the attempt is a Windows one).
TEST(WorkingFolder, HeldFolderCannotBeRenamedAway) {
    scratch_dir scratch("hold");
    corvid::working_folder folder;
    ASSERT_TRUE(folder.create(wide(scratch.path()), L"ZELT1")) << ::GetLastError();
    EXPECT_EQ(folder.path(), wide(scratch.path() + "ZELT1"));
    EXPECT_FALSE(::MoveFileW(folder.path().c_str(), wide(scratch.path() + "moved").c_str()));
    EXPECT_EQ(folder.remove(0), corvid::working_folder::removal::removed);
    EXPECT_TRUE(test_support::names_in(scratch.path()).empty());
}

// The emptied folder is deleted through a handle opened by its path, and
// only when that handle shows the folder held: a folder put at that path
// meanwhile (here after its parent was renamed away, which Wine allows above
// an open folder) is someone else's and stays.
TEST(WorkingFolder, FolderPutInItsPlaceIsNotDeleted) {
    scratch_dir scratch("impostor");
    const std::string parent = scratch.path() + "parent\\";
    ASSERT_TRUE(::CreateDirectoryA(parent.c_str(), nullptr));
    corvid::working_folder folder;
    ASSERT_TRUE(folder.create(wide(parent), L"ZELT1")) << ::GetLastError();
    if (!::MoveFileA(parent.c_str(), (scratch.path() + "moved").c_str()))
        GTEST_SKIP() << "a folder above a held one cannot be renamed here";
    ASSERT_TRUE(::CreateDirectoryA(parent.c_str(), nullptr) && ::CreateDirectoryA((parent + "ZELT1").c_str(), nullptr));
    EXPECT_EQ(folder.remove(0), corvid::working_folder::removal::left);
    EXPECT_TRUE(exists(parent + "ZELT1\\")) << "a folder that was not the one held was deleted";
}

// Deeper trees are left in place rather than followed down on the stack.
TEST(RemoveDirectoryTree, TreeDeeperThanItsLimitIsLeftInPlace) {
    for (const auto& [levels, removed] : {std::pair{250, true}, std::pair{300, false}}) {
        scratch_dir scratch("deep");
        ASSERT_TRUE(::CreateDirectoryA((scratch.path() + "top").c_str(), nullptr));
        corvid::unique_file level(::CreateFileA((scratch.path() + "top").c_str(), FILE_LIST_DIRECTORY, 7, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        for (int depth = 0; depth < levels && level; ++depth)
            level = corvid::open_in(level.get(), L"d", FILE_LIST_DIRECTORY, 7, FILE_CREATE, FILE_DIRECTORY_FILE);
        ASSERT_TRUE(level);
        level.reset();
        EXPECT_EQ(corvid::remove_directory_tree(scratch.path() + "top"), removed) << levels;
        EXPECT_EQ(exists(scratch.path() + "top"), !removed) << levels;
    }
}
