#include "corvid/temp.hpp"

#include <vector>

#include "corvid/win32.hpp"
#include <sddl.h>
#include <winternl.h>

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid {

namespace {

// Whether narrow text in the ANSI code page names exactly the wide path: a
// character that the code page cannot represent comes back as a substitute.
bool names_exactly(const std::string& narrow, const std::wstring& wide) {
    try {
        return unicode::to_wide(narrow, 0) == wide;
    } catch (const unicode::generic&) {
        return false;
    }
}

// The short (8.3) form of a directory path as narrow text, when the system
// has one that the ANSI code page represents exactly; empty otherwise.
std::string representable_short_form(const std::wstring& wide) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD count = ::GetShortPathNameW(wide.c_str(), buffer.data(), MAX_PATH);
    if (count == 0 || count >= MAX_PATH) return std::string();
    buffer.resize(count);
    std::string narrow;
    try {
        narrow = unicode::to_narrow(buffer, 0, true);
    } catch (const unicode::generic&) {
        return std::string();
    }
    if (narrow.size() >= MAX_PATH || !names_exactly(narrow, buffer)) return std::string();
    return narrow;
}

}  // namespace

std::string get_temp_path() {
    char buffer[MAX_PATH];
    DWORD count = ::GetTempPathA(MAX_PATH, buffer);
    if (count == 0 || count > MAX_PATH) return std::string();
    std::string narrow(buffer, count);

    // A temporary directory under a user name that the ANSI code page cannot
    // represent (Cyrillic on a Western system) comes back with substitutes,
    // and every narrow path built on it would name nothing. Its short form
    // consists of characters the code page has, where the volume keeps one.
    wchar_t wide_buffer[MAX_PATH + 1];
    DWORD wide_count = ::GetTempPathW(MAX_PATH + 1, wide_buffer);
    if (wide_count == 0 || wide_count > MAX_PATH) return narrow;
    std::wstring wide(wide_buffer, wide_count);
    if (names_exactly(narrow, wide)) return narrow;
    std::string short_form = representable_short_form(wide);
    if (short_form.empty()) return narrow;
    if (short_form.back() != '\\') short_form += '\\';
    return short_form;
}

namespace {

// Directory handles are opened without delete sharing, so that a folder being
// emptied cannot be renamed or replaced by anyone while it is held.
constexpr ACCESS_MASK directory_access =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK file_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG directory_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG file_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Deeper trees are left in place (the call then yields false) rather than
// risking the stack on a tree made deep on purpose.
constexpr int max_depth = 256;

struct entry {
    std::wstring name;
    DWORD attributes;
    LONGLONG id;
};

// Opens `name` inside the folder held by `parent`, never through a link: the
// open names the entry itself, whatever it is.
unique_file open_relative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG sharing) {
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<PWSTR>(name.c_str());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(::NtOpenFile(&handle, access, &attributes, &status, sharing,
                                 FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT)))
        return unique_file();
    return unique_file(handle);
}

// The entries of the folder held by `directory`, "." and ".." left out; read
// in full before anything is deleted.
bool list(HANDLE directory, std::vector<entry>& entries) {
    alignas(8) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(directory, request, buffer, sizeof(buffer))) {
        request = FileIdBothDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.push_back({name, info->FileAttributes, info->FileId.QuadPart});
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
    }
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

bool identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return ::GetFileInformationByHandle(handle, &info) != FALSE;
}

LONGLONG file_id(const BY_HANDLE_FILE_INFORMATION& info) {
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

// Clears read-only (and hidden, system) on the object held, which is the
// entry itself, never a link's target.
void make_deletable(HANDLE handle, DWORD attributes) {
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!(attributes & blocking)) return;
    FILE_BASIC_INFO basic{};  // zero times: unchanged
    basic.FileAttributes = attributes & ~blocking & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic));
}

// Marks the object held for deletion; it goes when the handle is closed.
bool delete_held(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool empty_and_delete(HANDLE directory, DWORD attributes, int depth);

// Removes one listed entry of the folder held by `parent`. What is opened is
// checked through its own handle: an entry replaced since the listing (its
// identity differs) is left alone, a link is deleted as a link, and only a
// real folder is descended into.
bool remove_entry(HANDLE parent, const entry& listed, int depth) {
    const bool listed_as_folder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                  !(listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    unique_file held = open_relative(parent, listed.name, listed_as_folder ? directory_access : file_access,
                                     listed_as_folder ? directory_sharing : file_sharing);
    if (!held) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!identity(held.get(), info) || file_id(info) != listed.id) return false;
    const DWORD attributes = info.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return delete_held(held.get());  // the link itself
    // Listed as a link, opened as something else: Wine opens a Unix link's
    // target even when asked for the link. Nothing is done through it.
    if (listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!listed_as_folder) return false;  // became a folder since the listing: left alone
        return empty_and_delete(held.get(), attributes, depth + 1);
    }
    if (listed_as_folder) return false;
    if (delete_held(held.get())) return true;
    make_deletable(held.get(), attributes);
    return delete_held(held.get());
}

bool empty_and_delete(HANDLE directory, DWORD attributes, int depth) {
    if (depth > max_depth) return false;
    std::vector<entry> entries;
    bool complete = list(directory, entries);
    for (const entry& e : entries) complete = remove_entry(directory, e, depth) && complete;
    if (!complete) return false;
    if (delete_held(directory)) return true;
    make_deletable(directory, attributes);
    return delete_held(directory);
}

}  // namespace

bool remove_directory_tree(const std::wstring& given) {
    // An empty path would name the current drive's root.
    if (given.empty()) return false;
    std::wstring path = given;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    // Opened without the separator, which would resolve a link given as the
    // tree itself; a drive root keeps it.
    std::wstring name = path.substr(0, path.size() - 1);
    if (name.size() == 2 && name[1] == L':') name = path;
    unique_file root(::CreateFileW(name.c_str(), directory_access, directory_sharing, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!root) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!identity(root.get(), info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // A link given as the tree itself is removed as a link, never emptied.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return delete_held(root.get());
    // Wine opens a Unix link's target even when asked for the link; the
    // parent's listing still tells a link from a folder.
    WIN32_FIND_DATAW found;
    unique_find self(::FindFirstFileW(name.c_str(), &found));
    if (self && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return empty_and_delete(root.get(), info.dwFileAttributes, 0);
}

std::wstring private_directory_sddl(bool elevated, const std::wstring& user_sid) {
    const std::wstring everything = L"(A;OICI;FA;;;";
    if (elevated) return L"O:BAD:P" + everything + L"BA)" + everything + L"SY)";
    return L"O:" + user_sid + L"D:P" + everything + user_sid + L")" + everything + L"BA)" + everything + L"SY)";
}

namespace {

struct local_traits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::LocalFree(h); }
};
using unique_local = unique_resource<local_traits>;

unique_handle process_token() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return unique_handle();
    return unique_handle(token);
}

// The user's SID in SDDL form; empty when it cannot be had.
std::wstring user_sid() {
    unique_handle token = process_token();
    if (!token) return std::wstring();
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::wstring();
    unique_local owner(text);
    return std::wstring(text);
}

}  // namespace

bool process_is_elevated() {
    unique_handle token = process_token();
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return token && ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

bool create_private_directory(const std::wstring& path) {
    const bool elevated = process_is_elevated();
    const std::wstring sid = elevated ? std::wstring() : user_sid();
    if (!elevated && sid.empty()) return false;  // GetLastError from the token query
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(private_directory_sddl(elevated, sid).c_str(),
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    unique_local owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::CreateDirectoryW(path.c_str(), &attributes)) return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            ::SetLastError(error);
            return false;
        }
        // Made by someone else, or left over: nothing in it is ours to trust.
        if (!remove_directory_tree(path)) {
            // Not a folder: a plain file under the name.
            std::wstring name = path;
            while (!name.empty() && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
            ::DeleteFileW(name.c_str());
        }
    }
    ::SetLastError(ERROR_ALREADY_EXISTS);
    return false;
}

}  // namespace corvid
