#include "bootstrap/run.hpp"

#include <winternl.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "archive/extract.hpp"
#include "bootstrap/command_line.hpp"
#include "bootstrap/command_line_win32.hpp"
#include "bootstrap/installer_language_win32.hpp"
#include "bootstrap/launch.hpp"
#include "bootstrap/process_state.hpp"
#include "bootstrap/progress_window.hpp"
#include "bootstrap/volume_policy.hpp"
#include "bootstrap/win32_extract.hpp"
#include "config/config.hpp"
#include "corvid/exception.hpp"
#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/file.hpp"
#include "corvid/log/log.hpp"
#include "corvid/message_box.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"
#include "platform/win32/win32_io.hpp"

namespace bootstrap {

namespace {

const char guard_name[] = "Quillmoor.Installation";

// How long the clean-up keeps trying to remove files that another process
// (a virus scanner, an indexer, a backup tool) still has open after the
// payload has ended, before it leaves them to be deleted at the next restart.
// A scanner reads even a large payload within that time, and a deployment
// tool waiting for the exit code does not notice the delay.
constexpr unsigned clean_up_retry_ms = 5000;

// A run the user cancelled is no failure of the run: it ends with the
// Windows Installer's own code for it (ERROR_INSTALL_USEREXIT), which a
// setup that the user cancels returns too and deployment tools tell apart
// from a failure, instead of the 1 of every failure.
int cancelled_by_user() {
    corvid::log::writef("Cancelled by the user; nothing was started");
    return ERROR_INSTALL_USEREXIT;
}

// The run's narrow text is UTF-8; the system is given it as UTF-16, exactly.
std::wstring wide(const std::string& text) { return corvid::unicode::from_utf8(text); }

// Text the run would have to change to pass it on: it refuses instead,
// with a log line and a box naming what (none when silent).
int refuse_text(const char* what) {
    corvid::log::writef("Refused: %s holds characters that cannot be passed on unchanged", what);
    corvid::show_message_box("Unsupported characters",
                             corvid::format("%s holds characters that cannot be passed on unchanged.", what));
    return 1;
}

// What the system says of the volume that holds the folder held by `folder`.
volume_facts volume_of(HANDLE folder) {
    volume_facts facts;
    wchar_t file_system[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (!::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, file_system, MAX_PATH + 1))
        return facts;
    facts.known = true;
    facts.persistent_acls = (flags & FILE_PERSISTENT_ACLS) != 0;
    try {
        facts.file_system = corvid::unicode::to_utf8(file_system);
    } catch (const corvid::unicode::generic&) {
        // Only named in the message.
    }
    IO_STATUS_BLOCK status{};
    FILE_FS_DEVICE_INFORMATION device{};
    constexpr ULONG remote_device = 0x10;  // FILE_REMOTE_DEVICE
    constexpr DEVICE_TYPE network_file_system = 0x14;  // FILE_DEVICE_NETWORK_FILE_SYSTEM
    if (NT_SUCCESS(::NtQueryVolumeInformationFile(folder, &status, &device, sizeof(device), FileFsDeviceInformation)))
        facts.remote = (device.Characteristics & remote_device) != 0 || device.DeviceType == network_file_system;
    else
        facts.known = false;
    return facts;
}

// The user's temporary directory as the system gives it, with its trailing
// backslash; empty when it gives none.
std::wstring temp_directory() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD count = ::GetTempPathW(MAX_PATH + 1, buffer);
    return count == 0 || count > MAX_PATH ? std::wstring() : std::wstring(buffer, count);
}

// Whether the volume that holds `folder` keeps its access list, which is
// what keeps the user's other processes out of it. When it does not, the
// folder is removed, the refusal logged and shown, and the run must stop.
bool volume_keeps_folder_private(corvid::working_folder& folder, const std::string& working_directory) {
    const std::string reason = unprotected_volume_reason(volume_of(folder.handle()));
    if (reason.empty()) return true;
    folder.remove(0);
    corvid::log::writef("Refused: the temporary directory is on %s, where the working folder cannot be private",
                        reason.c_str());
    corvid::show_message_box("Unsafe Temporary Directory",
                             "The temporary directory " + launch_directory(working_directory) + " is on " + reason +
                                 ", where the installation cannot be protected from other programs.\r\nSet TEMP "
                                 "and TMP to a folder on a local NTFS drive and try again.");
    return false;
}

// The log lines and the box of an extraction that did not complete (other
// than by a cancel).
void report_incomplete_extraction(archive::extraction_outcome outcome) {
    if (outcome == archive::extraction_outcome::extract_failed)
        corvid::log::writef("Extraction failed: a file could not be written, or the archive holds text that "
                            "code page %u does not define",
                            static_cast<unsigned>(::GetACP()));
    if (outcome == archive::extraction_outcome::commitment_mismatch)
        corvid::log::writef("The archive does not match the commitment of this installer's image");
    // "Failed to extract file!" has told the user what failed here (a
    // locked file, a full disk); the download itself is fine, so nobody
    // is sent to download it again.
    if (outcome != archive::extraction_outcome::extract_failed)
        corvid::show_message_box(archive::invalid_archive_caption, archive::invalid_archive_text);
}

// The log's record of what is about to be started: the product, the
// payload's path and its parameters, between blank lines.
void log_launch(const std::string& payload, const std::string& parameters) {
    corvid::log::write(std::string());
    corvid::log::write(config::product_name());
    std::wstring line = L"File: ";
    corvid::log::write(line += wide(payload));
    line = L"Parameters: ";
    corvid::log::write(line += wide(parameters));
    corvid::log::write(std::string());
}

// The run after its log is set up; the guard is the caller's so that the whole-run
// handler closes it on every way out. `wide_command_line` is the own command
// line after the program's name, as the system gave it.
int run_steps(HINSTANCE instance, const std::wstring& wide_command_line, const archive::own_file& own,
              bool log_ready, std::optional<corvid::real_mutex>& guard) {
    // Any "/s" at all, case-sensitive, also inside a longer word or a path.
    corvid::set_silent_mode(wide_command_line.find(L"/s") != std::wstring::npos);
    std::string command_line;
    try {
        command_line = corvid::unicode::to_utf8(wide_command_line);
    } catch (const corvid::unicode::generic&) {
        return refuse_text("The command line");
    }

    config::init(instance);

    guard.emplace(guard_name);
    if (!guard->lock(0)) {
        corvid::show_message_box(
            "Already Running",
            "Another installation is already running or in the process of starting up.\n"
            "Please wait until the other installation has completed before trying again.");
        if (!corvid::silent_mode()) progress_window::bring_other_to_front();
        guard.reset();
        return 1;
    }

    std::wstring temp = temp_directory();
    if (temp.empty()) {
        corvid::show_message_box("GetTempPath failed", "Unable to get Temporary Directory");
        temp = L"C:\\Temp\\";
    }
    ::CreateDirectoryW(temp.c_str(), nullptr);

    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::wstring name = corvid::wformat(L"ZELT%i", static_cast<int>(static_cast<std::uint32_t>(now)));
    // The name is predictable and %TEMP% is the user's: a folder of that name
    // that is already there may hold files planted for the elevated payload
    // to load, and any name on the way may be a link that the user retargets
    // at will. Only a folder this run created, which only it can write, is
    // used, and only through its hold or the path resolved from it. The
    // run's narrow text of it (and of "source", the payload's path, the MSI
    // log's path) is that path as UTF-8, exactly.
    corvid::working_folder folder;
    std::string& working_directory = archive::working_directory;
    working_directory.clear();
    if (folder.create(temp, name)) {
        try {
            working_directory = corvid::unicode::to_utf8(folder.path()) + '\\';
        } catch (const corvid::unicode::generic&) {
            folder.remove(0);
            guard.reset();
            return refuse_text("The temporary directory's path");
        }
    }
    // The folder's access list is what keeps the user's other processes out
    // of it: where the volume cannot keep one, nothing is extracted at all.
    if (!working_directory.empty() && !volume_keeps_folder_private(folder, working_directory)) {
        guard.reset();
        return 1;
    }
    // Entered by the path resolved from the hold, which names the held
    // folder for as long as it is held.
    if (working_directory.empty() || !::SetCurrentDirectoryW(folder.path().c_str())) {
        folder.remove(0);
        corvid::show_message_box("SetCurrentDirectory failed", "Unable to set Working Directory");
        guard.reset();
        return 1;
    }

    archive::entry_table& entries = archive::process_entries();
    entries.lookup_or_create("source") = working_directory.substr(0, working_directory.size() - 1);

    split_property_switch(command_line);

    // Held until the payload has been started: nobody can change, rename or
    // delete what was extracted and checked before it runs.
    std::vector<corvid::unique_file> extracted;
    // Closed before any box and before the payload starts.
    progress_window progress(instance, config::product_name(), !corvid::silent_mode());
    const archive::extraction_outcome outcome = archive::extract_archive(own, &extracted, folder.handle(), &progress);

    merge_parameters();
    add_msi_log_switch(reset_file_attributes);

    int exit_code = 1;
    if (outcome == archive::extraction_outcome::cancelled) {
        progress.close();
        exit_code = cancelled_by_user();
    } else if (!archive::archive_complete) {
        progress.close();
        report_incomplete_extraction(outcome);
    } else {
        std::string parameters = payload_parameters();
        parameters = apply_installer_language(parameters, config::product_name(),
                                              [](const std::string& line) {
                                                  corvid::log::writef("%s", line.c_str());
                                              });
        const std::string payload = payload_path();

        if (log_ready) log_launch(payload, parameters);
        progress.close();
        // A cancel after the last file was written still starts nothing. The
        // holds kept the files unchanged up to the start; from then on they
        // are the payload's, as in a plain folder, and the folder's access
        // list keeps everyone else out.
        exit_code = progress.stop_requested()
                        ? cancelled_by_user()
                        : launch_and_wait(payload, parameters, [&extracted] { extracted.clear(); });
    }

    extracted.clear();
    // Leave the working directory so that it can be removed.
    ::SetCurrentDirectoryW(wide(launch_directory(working_directory)).c_str());
    const corvid::working_folder::removal removal = folder.remove(clean_up_retry_ms);
    if (log_ready && removal != corvid::working_folder::removal::removed)
        corvid::log::write((removal == corvid::working_folder::removal::scheduled
                                ? L"Files still in use in " + folder.path() + L", to be deleted at the next restart"
                                : L"Files still in use in " + folder.path() + L", left in place"));
    guard.reset();
    corvid::log::shutdown();
    return exit_code;
}

}  // namespace

int run(HINSTANCE instance) {
    std::optional<corvid::real_mutex> guard;
    try {
        // First of all: the file that was started, by its real name, held so
        // that nobody can replace it before the archive is read from it.
        const archive::own_file own = archive::open_own_file();
        const std::wstring command_line(bootstrap::arguments_after_program_name(::GetCommandLineW()));
        bool log_ready = false;
        // The log's name is narrow text: a temporary directory that the ANSI
        // code page cannot name (and that has no short form it can) would
        // give a name of another folder, or none. The run then goes without.
        bool exact = true;
        const std::string temp = corvid::get_temp_path(&exact);
        try {
            if (exact) {
                auto log_file = std::make_unique<corvid::log::file>(temp + "Keelson");
                corvid::log::add_listener(log_file.release());
                log_ready = true;
            }
        } catch (...) {
            // The run goes on without a log file.
        }
        return run_steps(instance, command_line, own, log_ready, guard);
    } catch (const std::exception& e) {
        corvid::show_message_box(e.what(), "Unhandled Exception");
    } catch (...) {
        corvid::show_message_box("No context available", "Unhandled Exception");
    }
    guard.reset();
    corvid::log::shutdown();
    return 1;
}

}  // namespace bootstrap
