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

std::string get_temp_path(bool* exact) {
    if (exact) *exact = true;
    char buffer[MAX_PATH];
    DWORD count = ::GetTempPathA(MAX_PATH, buffer);
    if (count == 0 || count > MAX_PATH) return std::string();
    std::string narrow(buffer, count);

    // A temporary directory under a user name that the ANSI code page cannot
    // represent (Cyrillic on a Western system) comes back with substitutes,
    // and every narrow path built on it would name nothing, or another
    // folder. Its short form consists of characters the code page has, where
    // the volume keeps one.
    wchar_t wide_buffer[MAX_PATH + 1];
    DWORD wide_count = ::GetTempPathW(MAX_PATH + 1, wide_buffer);
    if (wide_count == 0 || wide_count > MAX_PATH) return narrow;
    std::wstring wide(wide_buffer, wide_count);
    if (names_exactly(narrow, wide)) return narrow;
    std::string short_form = representable_short_form(wide);
    if (short_form.empty()) {
        if (exact) *exact = false;
        return narrow;
    }
    if (short_form.back() != '\\') short_form += '\\';
    return short_form;
}

unique_file open_in(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG sharing, ULONG disposition,
                    ULONG options, PSECURITY_DESCRIPTOR descriptor) {
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<PWSTR>(name.c_str());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, root, descriptor);
    IO_STATUS_BLOCK status{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS result =
        ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, sharing,
                       disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result)) {
        ::SetLastError(::RtlNtStatusToDosError(result));
        return unique_file();
    }
    return unique_file(handle);
}

namespace {

constexpr ACCESS_MASK directory_access = held_folder_access;
constexpr ACCESS_MASK file_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG directory_sharing = held_folder_sharing;
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
    return open_in(parent, name, access, sharing, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
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
    // A file with other names shares its attributes with them: clearing
    // read-only here would clear it on a file outside the tree.
    if (info.nNumberOfLinks != 1) return false;
    make_deletable(held.get(), attributes);
    return delete_held(held.get());
}

// Removes every entry of the folder held by `directory`; true when none is
// left.
bool empty(HANDLE directory, int depth) {
    if (depth > max_depth) return false;
    std::vector<entry> entries;
    bool complete = list(directory, entries);
    for (const entry& e : entries) complete = remove_entry(directory, e, depth) && complete;
    return complete;
}

// Marks the folder held by `directory` (opened with directory_access) for
// deletion.
bool delete_folder(HANDLE directory, DWORD attributes) {
    if (delete_held(directory)) return true;
    make_deletable(directory, attributes);
    return delete_held(directory);
}

bool empty_and_delete(HANDLE directory, DWORD attributes, int depth) {
    return empty(directory, depth) && delete_folder(directory, attributes);
}

}  // namespace

bool remove_held_tree(HANDLE root) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!identity(root, info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // A link given as the tree itself is removed as a link, never emptied.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return delete_held(root);
    return empty_and_delete(root, info.dwFileAttributes, 0);
}

std::wstring private_directory_sddl(bool elevated, const std::wstring& user_sid) {
    const wchar_t* const everything = L"(A;OICI;FA;;;";
    std::wstring sddl = L"O:";
    sddl.append(elevated ? L"BA" : user_sid.c_str()).append(L"D:P");
    if (!elevated) sddl.append(everything).append(user_sid).append(L")");
    return sddl.append(everything).append(L"BA)").append(everything).append(L"SY)");
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

namespace {

constexpr ULONG all_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The working folder's hold asks only for what listing it and reading its
// identity take: a handle with the right to delete, or to write, would refuse
// everyone who opens the folder without sharing that (a payload that makes
// it its current directory, or lists it). The hold's own sharing, which
// leaves out deletion, is what refuses renaming; opens relative to a handle
// need no right on it.
constexpr ACCESS_MASK hold_access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

// The path that the system resolves from the handle ("\\?\C:\..."); empty
// on failure.
std::wstring final_path(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD count = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (count == 0) return std::wstring();
        if (count < path.size()) {
            path.resize(count);
            return path;
        }
        path.resize(count);
    }
}

// Removes whatever stands under `name` in the folder held by `parent`, as
// remove_directory_tree removes a tree's entries.
void remove_listed(HANDLE parent, const std::wstring& name) {
    std::vector<entry> entries;
    list(parent, entries);
    for (const entry& e : entries)
        if (::CompareStringOrdinal(e.name.c_str(), static_cast<int>(e.name.size()), name.c_str(),
                                   static_cast<int>(name.size()), TRUE) == CSTR_EQUAL)
            remove_entry(parent, e, 0);
}

// Schedules what is left in the folder held by `directory` (at `path`) for
// deletion at the next restart, the folder after its entries. Only a
// payload could have made folders in it, and the run's own files lie at its
// top: a folder of the payload's that is not empty by then stays.
bool schedule_removal(HANDLE directory, const std::wstring& path) {
    std::vector<entry> entries;
    bool complete = list(directory, entries);
    for (const entry& e : entries)
        complete = ::MoveFileExW((path + L"\\" + e.name).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && complete;
    return ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && complete;
}

// A final path without the extended-length prefix, where a drive path does
// not need it.
std::wstring usable_form(std::wstring path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() > 6 && path[5] == L':' && path.size() - 4 < MAX_PATH)
        path.erase(0, 4);
    return path;
}

}  // namespace

unique_file open_plain_file(const std::wstring& path, ACCESS_MASK access, ULONG sharing, ULONG disposition) {
    const std::size_t cut = path.find_last_of(L"\\/");
    const std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    unique_file folder(::CreateFileW(cut == std::wstring::npos ? L"." : path.substr(0, cut + 1).c_str(),
                                     FILE_TRAVERSE | FILE_LIST_DIRECTORY | SYNCHRONIZE, all_sharing, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return unique_file();
    unique_file file =
        open_in(folder.get(), name, access | FILE_READ_ATTRIBUTES, sharing, disposition, FILE_NON_DIRECTORY_FILE);
    BY_HANDLE_FILE_INFORMATION info;
    if (file && (!identity(file.get(), info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                 info.nNumberOfLinks != 1)) {
        file.reset();
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return file;
}

bool working_folder::create(const std::wstring& parent, const std::wstring& name) {
    const bool elevated = process_is_elevated();
    const std::wstring sid = elevated ? std::wstring() : user_sid();
    if (!elevated && sid.empty()) return false;  // GetLastError from the token query
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(private_directory_sddl(elevated, sid).c_str(),
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    unique_local owner(descriptor);
    unique_file folder(::CreateFileW(parent.c_str(), FILE_TRAVERSE | FILE_LIST_DIRECTORY | SYNCHRONIZE, all_sharing,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return false;
    // The folder and its hold come into being in one step: there is no
    // moment in which another process could put something else in its place.
    for (int attempt = 0; attempt < 4; ++attempt) {
        hold_ =
            open_in(folder.get(), name, hold_access, directory_sharing, FILE_CREATE, FILE_DIRECTORY_FILE, descriptor);
        if (hold_) break;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
        // Made by someone else, or left over: nothing in it is ours to trust.
        remove_listed(folder.get(), name);
    }
    if (!hold_) {
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    path_ = usable_form(final_path(hold_.get()));
    if (path_.empty() || !is_named_by(path_)) {
        const DWORD error = path_.empty() ? ::GetLastError() : ERROR_PATH_NOT_FOUND;
        remove(0);
        path_.clear();
        ::SetLastError(error);
        return false;
    }
    return true;
}

working_folder::~working_folder() = default;

bool working_folder::is_named_by(const std::wstring& path) const {
    unique_file named(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, all_sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION held, other;
    return named && identity(named.get(), other) && identity(hold_.get(), held) &&
           other.dwVolumeSerialNumber == held.dwVolumeSerialNumber && file_id(other) == file_id(held);
}

working_folder::removal working_folder::remove(unsigned retry_ms) {
    BY_HANDLE_FILE_INFORMATION held;
    if (!identity(hold_.get(), held)) return removal::left;
    const DWORD start = ::GetTickCount();
    DWORD pause = 50;
    while (!empty(hold_.get(), 0)) {
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= retry_ms) {
            const bool scheduled = schedule_removal(hold_.get(), path_);
            hold_.reset();
            return scheduled ? removal::scheduled : removal::left;
        }
        ::Sleep(pause);
        if (pause < 400) pause *= 2;
    }
    // The hold refuses delete sharing, so the emptied folder is deleted
    // through a handle opened after it; that is taken only while it is still
    // the folder held (someone may have renamed it meanwhile: it then stays,
    // empty, wherever they put it).
    hold_.reset();
    unique_file self(::CreateFileW(path_.c_str(), directory_access, all_sharing, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION now;
    const bool removed = self && identity(self.get(), now) && now.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                         file_id(now) == file_id(held) && delete_folder(self.get(), now.dwFileAttributes);
    return removed ? removal::removed : removal::left;
}

}  // namespace corvid
