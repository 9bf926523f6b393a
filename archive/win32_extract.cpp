#include "archive/win32_extract.hpp"

#include "archive/extract.hpp"
#include "archive/process_state.hpp"
#include "archive/win32_io.hpp"
#include "corvid/error_text.hpp"
#include "corvid/message_box.hpp"

namespace archive {

extraction_outcome extract_archive(const std::string& archive_path, std::vector<corvid::unique_file>* written,
                                   HANDLE folder) {
    win32_input input;
    if (!input.open(archive_path)) {
        archive_complete = false;
        corvid::show_message_box(open_failed_caption,
                                 file_failure_text(archive_path, corvid::error_text(input.last_error())));
        return extraction_outcome::read_failed;
    }
    win32_output output(folder);
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
    const extraction_outcome outcome = extract_entries(archive_path, context).outcome;
    if (written) *written = output.take_written();
    return outcome;
}

}  // namespace archive
