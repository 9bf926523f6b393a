// The bootstrapper's extraction of its own installer archive.
#pragma once

#include <string>
#include <vector>

#include "archive/extract.hpp"
#include "corvid/handle.hpp"

namespace archive {

// Extracts the archive in the file at `archive_path` (the bootstrapper's own
// executable) into archive::working_directory, recording its values in
// archive::process_entries() and its completeness in
// archive::archive_complete (see extract_entries for the walk). Failures are
// reported through corvid::show_message_box, which the silent switch closes;
// "Failed to open archive!" when the file cannot be opened. Throws nothing
// but std::bad_alloc. Returns how the walk ended (read_failed when the file
// could not be opened), so that the caller can tell an archive that proved
// damaged from one whose file could not be written here.
//
// `written`, when given, receives read-only handles on every file extracted,
// which share reading only: while they are held, nobody can write, rename or
// delete those files (see win32_output); without it the files are released
// at once. `folder`, when given, is a handle on archive::working_directory
// held by the caller: the files are then created inside that very folder.
extraction_outcome extract_archive(const std::string& archive_path,
                                   std::vector<corvid::unique_file>* written = nullptr,
                                   HANDLE folder = INVALID_HANDLE_VALUE);

}  // namespace archive
