#include "archive/process_state.hpp"

namespace archive {

entry_table& process_entries() {
    static entry_table table;
    return table;
}

bool archive_complete = false;
std::string working_directory;

}  // namespace archive
