#include "bootstrap/process_state.hpp"

namespace archive {

namespace {
// At namespace scope rather than a function's: a function-local static needs
// the runtime's thread-safe guard and its condition variable. Nothing reads
// the table during static initialisation.
entry_table table;
}  // namespace

entry_table& process_entries() { return table; }

bool archive_complete = false;
std::string working_directory;

}  // namespace archive
