// The bootstrapper's extraction of its own installer archive.
#pragma once

#include <string>

namespace archive {

// Extracts the archive in the file at `archive_path` (the bootstrapper's own
// executable) into archive::working_directory, recording its values in
// archive::process_entries() and its completeness in
// archive::archive_complete (see extract_entries for the walk). Failures are
// reported through corvid::show_message_box, which the silent switch closes;
// "Failed to open archive!" when the file cannot be opened. Returns nothing
// and throws nothing but std::bad_alloc.
void extract_archive(const std::string& archive_path);

}  // namespace archive
