#include "bootstrap/win32_extract.hpp"

#include "archive/extract.hpp"
#include "bootstrap/process_state.hpp"
#include "corvid/error_text.hpp"
#include "corvid/message_box.hpp"
#include "corvid/unicode/convert.hpp"
#include "platform/win32/win32_io.hpp"

namespace archive {

// The slot that chunkpack fills, in a section of its own that the packer
// finds by name (see pe/commitment_slot.hpp for the layout). Its bytes here are the
// empty slot; a packed stub carries the sealed one in its image.
extern const unsigned char commitment_slot_bytes[commitment_slot_size];
__attribute__((section(".commit"), used)) const unsigned char commitment_slot_bytes[commitment_slot_size] = {
    'a', 'r', 'c', 'h', 'i', 'v', 'e', '-', 'c', 'o', 'm', 'm', 'i', 't', 'm', 'e', 'n', 't', 0, 0,
    commitment_version, 0, 0, 0, commitment_empty, 0, 0, 0};

std::optional<commitment_digest> own_commitment() {
    // Read from the mapped image as it is: the compiler must not fold the
    // empty value it was built with.
    const volatile unsigned char* slot = commitment_slot_bytes;
    std::uint32_t state = 0;
    for (int i = 3; i >= 0; --i) state = state << 8 | slot[commitment_state_offset + i];
    if (state != commitment_sealed) return std::nullopt;
    commitment_digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = slot[commitment_digest_offset + i];
    return digest;
}

namespace {

// A failure message, after whatever shows the progress has gone.
void report(extraction_feedback* feedback, const std::string& caption, const std::string& text) {
    if (feedback) feedback->before_message();
    corvid::show_message_box(caption, text);
}

extraction_outcome extract_from(win32_input& input, const std::string& archive_path,
                                std::vector<corvid::unique_file>* written, HANDLE folder,
                                extraction_feedback* feedback) {
    win32_output output(folder);
    const std::optional<commitment_digest> sealed = own_commitment();
    extraction_context context{input,
                               output,
                               [feedback](const std::string& caption, const std::string& text) {
                                   report(feedback, caption, text);
                               },
                               process_entries(),
                               archive_complete,
                               working_directory,
                               {},
                               {},
                               [](std::string& text) {
                                   try {
                                       text = corvid::unicode::ansi_to_utf8(text);
                                       return std::string();
                                   } catch (const corvid::unicode::generic&) {
                                       return corvid::error_text_utf8(ERROR_NO_UNICODE_TRANSLATION);
                                   }
                               },
                               sealed ? &*sealed : nullptr};
    if (feedback) {
        context.advance = [feedback](std::uint64_t walked, std::uint64_t total) { feedback->advance(walked, total); };
        context.stop = [feedback] { return feedback->stop_requested(); };
    }
    const extraction_outcome outcome = extract_entries(archive_path, context).outcome;
    if (written) *written = output.take_written();
    return outcome;
}

extraction_outcome open_failed(const std::string& archive_path, DWORD error, extraction_feedback* feedback) {
    archive_complete = false;
    report(feedback, open_failed_caption, file_failure_text(archive_path, corvid::error_text_utf8(error)));
    return extraction_outcome::read_failed;
}

}  // namespace

extraction_outcome extract_archive(const own_file& archive, std::vector<corvid::unique_file>* written,
                                   HANDLE folder, extraction_feedback* feedback) {
    if (!archive.handle) return open_failed(archive.path, archive.error, feedback);
    win32_input input(archive.handle.get());
    return extract_from(input, archive.path, written, folder, feedback);
}

extraction_outcome extract_archive(const std::string& archive_path, std::vector<corvid::unique_file>* written,
                                   HANDLE folder, extraction_feedback* feedback) {
    win32_input input;
    if (!input.open(archive_path)) return open_failed(archive_path, input.last_error(), feedback);
    return extract_from(input, archive_path, written, folder, feedback);
}

}  // namespace archive
