#include "bootstrap/run.hpp"

#include <shellapi.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "archive/extract.hpp"
#include "archive/process_state.hpp"
#include "archive/win32_extract.hpp"
#include "bootstrap/command_line.hpp"
#include "bootstrap/command_line_win32.hpp"
#include "bootstrap/installer_language_win32.hpp"
#include "config/config.hpp"
#include "corvid/exception.hpp"
#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/file.hpp"
#include "corvid/log/log.hpp"
#include "corvid/message_box.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"

namespace bootstrap {

namespace {

const char guard_name[] = "Quillmoor.Installation";

// How long the clean-up keeps trying to remove files that another process
// (a virus scanner, an indexer, a backup tool) still has open after the
// payload has ended, before it leaves them to be deleted at the next restart.
// A scanner reads even a large payload within that time, and a deployment
// tool waiting for the exit code does not notice the delay.
constexpr unsigned clean_up_retry_ms = 5000;

// The working folder's path as the narrow text that the run's composed texts
// are made of (the payload's path, "source", the MSI log's path): the ANSI
// form of the folder's checked path, or its short form where the code page
// lacks a character of the long one; empty when neither names the folder.
// The one place where the run turns the folder's path into narrow text.
std::string narrow_folder_path(const corvid::working_folder& folder) {
    wchar_t buffer[MAX_PATH];
    const DWORD count = ::GetShortPathNameW(folder.path().c_str(), buffer, MAX_PATH);
    const std::wstring short_form(buffer, count < MAX_PATH ? count : 0);
    // A character the code page lacks comes out as a substitute, and the
    // text then names another folder, or none.
    for (const std::wstring* wide : {&folder.path(), &short_form}) {
        std::string narrow = corvid::unicode::to_narrow(*wide, 0, false);
        if (!narrow.empty() && folder.is_named_by(corvid::unicode::to_wide(narrow, 0))) return narrow;
    }
    return std::string();
}

// Launches the payload, waits for it and returns its exit code, or 1.
int launch_and_wait(const std::string& payload, const std::string& parameters,
                    const std::string& directory) {
    SHELLEXECUTEINFOA record{};
    record.cbSize = sizeof(record);
    record.fMask = SEE_MASK_NOCLOSEPROCESS;
    // A silent run shows no window at all, so the shell is asked not to
    // report a failed launch with a box of its own either: such a box would
    // wait for a user that an unattended deployment does not have.
    if (corvid::silent_mode()) record.fMask |= SEE_MASK_FLAG_NO_UI;
    record.hwnd = nullptr;
    record.lpVerb = "open";
    record.lpFile = payload.c_str();
    record.lpParameters = parameters.c_str();
    record.lpDirectory = directory.c_str();
    record.nShow = SW_SHOWNORMAL;

    if (payload.empty() || !::ShellExecuteExA(&record)) {
        // The user declining the payload's elevation is no failure to report.
        if (payload.empty() || ::GetLastError() != ERROR_CANCELLED)
            corvid::show_message_box("ShellExecuteEx failed", "Unable to spawn process");
        return 1;
    }
    corvid::unique_handle process(record.hProcess);
    if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        corvid::show_message_box("WaitForSingleObject failed", "Unable to wait for process");
        return 1;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) {
        corvid::show_message_box("GetExitCodeProcess failed", "Unable to get process exit code");
        return 1;
    }
    // Passed through unchanged, values above 255 and 0xFFFFFFFF included.
    return static_cast<int>(code);
}

// The run after its log is set up; the guard is the caller's so that the whole-run
// handler closes it on every way out.
int run_steps(HINSTANCE instance, const std::string& command_line, bool log_ready,
              std::optional<corvid::real_mutex>& guard) {
    // Any "/s" at all, case-sensitive, also inside a longer word or a path.
    corvid::set_silent_mode(command_line.find("/s") != std::string::npos);

    config::init(instance);

    guard.emplace(guard_name);
    if (!guard->lock(0)) {
        corvid::show_message_box(
            "Already Running",
            "Another installation is already running or in the process of starting up.\n"
            "Please wait until the other installation has completed before trying again.");
        guard.reset();
        return 1;
    }

    std::string temp = corvid::get_temp_path();
    if (temp.empty()) {
        corvid::show_message_box("GetTempPath failed", "Unable to get Temporary Directory");
        temp = "C:\\Temp\\";
    }
    ::CreateDirectoryA(temp.c_str(), nullptr);

    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::wstring name = corvid::wformat(L"ZELT%i", static_cast<int>(static_cast<std::uint32_t>(now)));
    // The name is predictable and %TEMP% is the user's: a folder of that name
    // that is already there may hold files planted for the elevated payload
    // to load, and any name on the way may be a link that the user retargets
    // at will. Only a folder this run created, which only it can write, is
    // used, and only through its hold or the path resolved from it.
    corvid::working_folder folder;
    std::string& working_directory = archive::working_directory;
    working_directory.clear();
    if (folder.create(corvid::unicode::to_wide(temp, 0), name))
        working_directory = narrow_folder_path(folder);
    // Entered by the path resolved from the hold, which names the held
    // folder for as long as it is held.
    if (working_directory.empty() || !::SetCurrentDirectoryW(folder.path().c_str())) {
        folder.remove(0);
        corvid::show_message_box("SetCurrentDirectory failed", "Unable to set Working Directory");
        guard.reset();
        return 1;
    }
    working_directory += '\\';

    archive::entry_table& entries = archive::process_entries();
    entries.lookup_or_create("source") = working_directory.substr(0, working_directory.size() - 1);

    split_property_switch(command_line);

    // Held until the payload has ended: nobody can change, rename or delete
    // what was extracted and checked before it has been started.
    std::vector<corvid::unique_file> extracted;
    const archive::extraction_outcome outcome =
        archive::extract_archive(own_module_path(), &extracted, folder.handle());

    merge_parameters();
    add_msi_log_switch(reset_file_attributes);

    int exit_code = 1;
    if (!archive::archive_complete) {
        // "Failed to extract file!" has told the user what failed here (a
        // locked file, a full disk); the download itself is fine, so nobody
        // is sent to download it again.
        if (outcome != archive::extraction_outcome::extract_failed)
            corvid::show_message_box(archive::invalid_archive_caption, archive::invalid_archive_text);
    } else {
        std::string parameters = payload_parameters();
        parameters = apply_installer_language(parameters, config::product_name(),
                                              [](const std::string& line) {
                                                  corvid::log::writef("%s", line.c_str());
                                              });
        const std::string payload = payload_path();
        const std::string directory = launch_directory(working_directory);

        if (log_ready) {
            corvid::log::write(std::string());
            corvid::log::write(config::product_name());
            corvid::log::writef("File: %s", payload.c_str());
            corvid::log::writef("Parameters: %s", parameters.c_str());
            corvid::log::write(std::string());
        }
        exit_code = launch_and_wait(payload, parameters, directory);
    }

    extracted.clear();
    // Leave the working directory so that it can be removed.
    ::SetCurrentDirectoryA(launch_directory(working_directory).c_str());
    const corvid::working_folder::removal removal = folder.remove(clean_up_retry_ms);
    if (log_ready && removal != corvid::working_folder::removal::removed)
        corvid::log::writef(removal == corvid::working_folder::removal::scheduled
                                ? "Files still in use in %s, to be deleted at the next restart"
                                : "Files still in use in %s, left in place",
                            working_directory.substr(0, working_directory.size() - 1).c_str());
    guard.reset();
    corvid::log::shutdown();
    return exit_code;
}

}  // namespace

std::string own_module_path() {
    // GetModuleFileNameA truncates silently on older systems, so a result
    // that fills the buffer is taken as truncated and fetched again.
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::string();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        if (buffer.size() >= 32768) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

int run(HINSTANCE instance, const std::string& command_line) {
    std::optional<corvid::real_mutex> guard;
    try {
        bool log_ready = false;
        try {
            auto log_file = std::make_unique<corvid::log::file>(corvid::get_temp_path() + "Keelson");
            corvid::log::add_listener(log_file.release());
            log_ready = true;
        } catch (...) {
            // The run goes on without a log file.
        }
        return run_steps(instance, command_line, log_ready, guard);
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
