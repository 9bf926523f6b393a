// The bootstrapper's extraction of its own installer archive.
#pragma once

#include <string>
#include <vector>

#include "archive/extract.hpp"
#include "corvid/handle.hpp"
#include "platform/win32/win32_io.hpp"

namespace archive {

// Whoever shows how far the bootstrapper's extraction has come.
class extraction_feedback {
public:
    // See extraction_context::advance (same threads, same values).
    virtual void advance(std::uint64_t walked, std::uint64_t total) noexcept = 0;
    // See extraction_context::stop: true ends the walk (cancelled).
    virtual bool stop_requested() noexcept = 0;
    // Runs on the extracting thread before each failure message, so that
    // whatever shows the progress is gone before the message appears.
    virtual void before_message() noexcept = 0;

protected:
    ~extraction_feedback() = default;
};

// Extracts the archive in `archive` (the bootstrapper's own file, opened at
// the start of the run) into archive::working_directory, recording its
// values in archive::process_entries() and its completeness in
// archive::archive_complete (see extract_entries for the walk). The file is
// read through the handle that `archive` holds; nothing is opened by name.
// Keys, values and file names are taken from the ANSI code page into UTF-8,
// strictly: text the code page does not define ends the walk with "Failed
// to extract file!" naming the working directory (extract_failed). When
// this program's image carries a sealed commitment (own_commitment), the
// chunks read must match it; otherwise archive_complete ends false
// (commitment_mismatch, no message: the caller says "Invalid Archive!").
// Failures are reported through corvid::show_message_box, which the silent
// switch closes; "Failed to open archive!" with the path and the reason when
// the file could not be opened. Throws nothing but std::bad_alloc. Returns
// how the walk ended (read_failed when the file could not be opened), so
// that the caller can tell an archive that proved damaged from one whose
// file could not be written here.
//
// `written`, when given, receives read-only handles on every file extracted,
// which share reading only: while they are held, nobody can write, rename or
// delete those files (see win32_output); without it the files are released
// at once. `folder`, when given, is a handle on archive::working_directory
// held by the caller: the files are then created inside that very folder.
// `feedback`, when given, is told the walk's progress, may stop it
// (cancelled, no message) and is told before each message.
extraction_outcome extract_archive(const own_file& archive, std::vector<corvid::unique_file>* written = nullptr,
                                   HANDLE folder = INVALID_HANDLE_VALUE, extraction_feedback* feedback = nullptr);

// The same for the file at `archive_path` (UTF-8), opened here.
extraction_outcome extract_archive(const std::string& archive_path,
                                   std::vector<corvid::unique_file>* written = nullptr,
                                   HANDLE folder = INVALID_HANDLE_VALUE, extraction_feedback* feedback = nullptr);

// The commitment sealed in this program's mapped image: the image that was
// started (and signed), not the file that now stands under its name. None
// when the slot is empty (a stub packed without filling it).
std::optional<commitment_digest> own_commitment();

}  // namespace archive
