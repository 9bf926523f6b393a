#include "archive/win32_extract.hpp"

#include "archive/extract.hpp"
#include "archive/process_state.hpp"
#include "archive/win32_io.hpp"
#include "corvid/error_text.hpp"
#include "corvid/message_box.hpp"

namespace archive {

void extract_archive(const std::string& archive_path) {
    win32_input input;
    if (!input.open(archive_path)) {
        archive_complete = false;
        corvid::show_message_box(open_failed_caption,
                                 file_failure_text(archive_path, corvid::error_text(input.last_error())));
        return;
    }
    win32_output output;
    extraction_context context{input,
                               output,
                               [](const std::string& caption, const std::string& text) {
                                   corvid::show_message_box(caption, text);
                               },
                               process_entries(),
                               archive_complete,
                               working_directory,
                               {},
                               {}};
    extract_entries(archive_path, context);
}

}  // namespace archive
