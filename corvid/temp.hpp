// The user's temporary directory, recursive removal of a directory, the
// run's private working folder and opens that never follow a link.
#pragma once

#include <string>

#include "corvid/handle.hpp"

namespace corvid {

// The temporary directory as narrow text (ANSI code page) with the trailing
// backslash the system gives it, or the empty text when the system gives no
// path or one that does not fit 260 characters. When the ANSI form does not
// name the directory exactly (a character the code page lacks), the
// directory's short (8.3) form is given instead, if it has one that the code
// page represents; otherwise the ANSI form as it is, which may name another
// folder or none: `exact`, when given, then says false. Never fails
// otherwise.
std::string get_temp_path(bool* exact = nullptr);

// Deletes the directory's files and subdirectories and then the directory
// itself; true when the directory itself was removed. The path may end with
// "\" or "/" or with neither; an empty path yields false and deletes nothing.
// Read-only, hidden and system files are deleted too. The tree is worked
// through handles: each folder is opened as itself (never through a link),
// checked through that handle to be a real folder, held so that it cannot be
// renamed meanwhile, and listed and emptied relative to the handle; an entry
// is changed only after its handle shows it to be the very object that the
// listing named. A link (junction or symbolic link, i.e. a reparse point) is
// removed as a link, or left in place; no attribute is changed and nothing is
// deleted through it, so nothing outside the given tree is ever touched, even
// when the tree is being rearranged during the call. Whatever cannot be
// deleted (a file open elsewhere) stays, and every directory above it then
// remains as well (false).
bool remove_directory_tree(const std::string& path);

// How remove_directory_tree holds each folder it empties: with the rights to
// list, delete and change attributes, and without delete sharing, so that a
// folder being emptied cannot be renamed or replaced by anyone while it is
// held.
inline constexpr ACCESS_MASK held_folder_access =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
inline constexpr DWORD held_folder_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// remove_directory_tree for a folder already held by `root` (opened with
// held_folder_access and held_folder_sharing, not following a link): a link
// held is deleted as a link, a folder emptied and deleted.
bool remove_held_tree(HANDLE root);

// The security descriptor (SDDL) of a private working folder. Elevated:
// owned by Administrators, full access for Administrators and SYSTEM only.
// Not elevated: owned by the user (user_sid, in SDDL form), full access for
// the user, Administrators and SYSTEM. Protected (nothing is inherited from
// the folder above) and inherited by everything created inside it, so no
// other account, and no unelevated process of the user when the run is
// elevated, can write, rename or delete anything in it.
std::wstring private_directory_sddl(bool elevated, const std::wstring& user_sid);

// Whether this process runs with an elevated (full administrator) token.
bool process_is_elevated();

// Opens `name` inside the folder held by `folder`, never through a link at
// that name (FILE_OPEN_REPARSE_POINT): NtCreateFile with `disposition`
// (FILE_OPEN, FILE_OPEN_IF, ...), `options` (FILE_NON_DIRECTORY_FILE, ...)
// and, for an object it creates, `descriptor`; synchronous. Invalid on
// failure, with GetLastError set.
unique_file open_in(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG sharing, ULONG disposition,
                    ULONG options = 0, PSECURITY_DESCRIPTOR descriptor = nullptr);

// Opens the file at `path` (NtCreateFile `disposition`) only when it is a
// plain file of its own: the folder part of the path is opened as named
// (links on the way are the caller's choice), the last part inside that
// folder without following a link (a symbolic link, a junction), and the
// handle is kept only when the object is no reparse point and has no other
// name (one link: a hard link shares its data and attributes with a file
// elsewhere). Otherwise invalid, with GetLastError ERROR_CANT_ACCESS_FILE
// for an object that is not such a file, or the open's own error. (Wine
// shows a Unix symbolic link to a file as the file itself, and follows it.)
unique_file open_plain_file(const std::wstring& path, ACCESS_MASK access, ULONG sharing, ULONG disposition);

// The run's working folder. Created anew with private_directory_sddl for
// this process and held from that moment by a handle that refuses delete
// sharing, so that nobody can rename, replace or delete the folder while the
// object holds it (and on Windows nobody can rename a folder above it
// either). The hold itself asks for no right to delete, so that others may
// still open the folder without delete sharing (make it their current
// directory, list it). The folder is reached only through the hold: relative
// to handle(), or by path(), which the system resolved from the hold and
// which was checked to name this very folder.
class working_folder {
public:
    working_folder() = default;
    // Releases the hold; the folder stays unless remove() took it.
    ~working_folder();
    working_folder(const working_folder&) = delete;
    working_folder& operator=(const working_folder&) = delete;

    // Creates `name` (one path component) inside the folder `parent` (links
    // on the way to `parent` are followed: it is the caller's to choose);
    // once for an object. Whatever already stands under that name (a folder
    // with planted files, a file, a link) is not trusted: it is removed
    // relative to the parent as remove_directory_tree would remove it, and
    // the folder made again (a few times, should something keep putting it
    // back). False when no fresh folder of our own could be had or its path
    // does not name it; GetLastError then tells why, and nothing of ours is
    // left.
    bool create(const std::wstring& parent, const std::wstring& name);

    // The folder's final path as the system resolves it from the hold, with
    // no link in it and no trailing separator ("C:\\Temp\\ZELT1"); in the
    // extended-length form where a drive path needs it, and for other volumes.
    const std::wstring& path() const noexcept { return path_; }
    HANDLE handle() const noexcept { return hold_.get(); }
    // Whether `path` names the held folder now (same volume and file ID).
    bool is_named_by(const std::wstring& path) const;

    enum class removal { removed, scheduled, left };
    // Removes everything in the folder through the hold (never by a name),
    // then releases the hold and deletes the emptied folder through a handle
    // opened by path() that must show the same folder (otherwise it stays:
    // left). Entries that are still open elsewhere (a virus scanner reading
    // the payload) are tried again for up to `retry_ms`; what is then left is
    // scheduled for deletion at the next restart (MoveFileExW with
    // MOVEFILE_DELAY_UNTIL_REBOOT by path(): the entries at its top, then the
    // folder): scheduled, or left when even that failed. Nothing is held
    // afterwards.
    removal remove(unsigned retry_ms);

private:
    unique_file hold_;
    std::wstring path_;
};

}  // namespace corvid
