// Process-wide state of a bootstrapper run that extraction and the payload's
// command line share. Lives from process start to process end.
#pragma once

#include <string>

#include "archive/entry_table.hpp"

namespace archive {

// The settings read from the archive, plus "source" and "commandline" that
// the run stores before extraction.
entry_table& process_entries();

// True once the archive's tail chunk has been read and no chunk failed its
// digest (nor any other read or write of extraction).
extern bool archive_complete;

// Full path of the per-run working directory, always ending in a backslash;
// extraction writes its files here.
extern std::string working_directory;

}  // namespace archive
