// Extraction of an installer archive: the walk over its entries, the files
// written into the working directory, the values recorded in the entry
// table, and the messages that report failures. Every dependency is handed
// in, so the same walk serves the bootstrapper (bootstrap/win32_extract.hpp), the
// packer and the tests. Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/commitment.hpp"
#include "archive/entry_table.hpp"
#include "archive/output.hpp"
#include "io/input.hpp"

namespace archive {

// Captions and texts of the messages extraction shows.
inline constexpr const char* open_failed_caption = "Failed to open archive!";
inline constexpr const char* initialize_failed_caption = "Failed to initialize archive!";
inline constexpr const char* extract_failed_caption = "Failed to extract file!";
inline constexpr const char* invalid_archive_caption = "Invalid Archive!";
inline constexpr const char* invalid_archive_text =
    "We are sorry, but your installation / update did not complete due to unexpected download errors.\r\n"
    "Please download full version of the program";

// "File: " path "\rError: " error: the text of the three file messages.
std::string file_failure_text(const std::string& path, const std::string& error);

// Shows one message (caption, text); the bootstrapper's is the message-box
// gate that the silent switch closes.
using message_reporter = std::function<void(const std::string& caption, const std::string& text)>;

// One entry as the walk read it.
struct entry_event {
    enum class type { tail, value, file, stub, other };
    type kind;
    std::string kind_text;    // the kind chunk's bytes
    std::string key;          // empty for the tail
    std::string value;        // value entries: the value; file entries: the file name
    std::uint64_t size = 0;   // file entries: the data's length
    std::uint64_t begin = 0;  // the entry's chunks span [begin, end) of the input
    std::uint64_t end = 0;
};

struct extraction_context {
    seekable_input& input;
    output_sink& output;
    message_reporter report;
    entry_table& entries;
    bool& archive_complete;
    // Joined to file names by plain concatenation: ends with the separator.
    std::string working_directory;
    // Optional: told of each entry once it has been read and handled.
    std::function<void(const entry_event&)> observe;
    // Optional: told how many bytes of the current file's data have been
    // written, and the data's length, while a file is being extracted.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    // Optional: turns each key, value and file name read from the archive
    // into the text the caller works with (the bootstrapper's UTF-8 from the
    // system's ANSI code page), in place. Returns the empty text when it took
    // the text, otherwise why it refuses it; the walk then ends as for a
    // file that cannot be written, naming the working directory.
    std::string (*decode)(std::string& text) = nullptr;
    // Optional: the commitment the archive must match (the digest of a
    // sealed slot). Without it the walk checks none.
    const commitment_digest* commitment = nullptr;
    // Optional: told how much of the archive the walk has passed, counted
    // from the archive's end, and the archive's size: its chain of chunks
    // from offset 0 to the end of the tail, the stub's own image included.
    // The first value comes once the tail is found; `walked` never falls,
    // and grows within a file's data block by block. Reaching the stub
    // entry of a whole archive accounts for the rest (the stub's image,
    // which the walk never reads): a complete walk ends with walked ==
    // total. Called by the walking thread, and during a file's data by the
    // consumer's thread (see chunk_reader::read_chunk), never by two at once.
    std::function<void(std::uint64_t walked, std::uint64_t total)> advance = {};
    // Optional: asked before each entry and before each block of file data
    // is written (from the same threads as `advance`); true ends the walk
    // (cancelled): the file being written is removed, archive_complete is
    // cleared, nothing is reported.
    std::function<bool()> stop = {};
};

enum class extraction_outcome {
    // The walk reached the stub entry: every entry was extracted.
    complete,
    // No tail marker ("Failed to initialize archive!").
    no_archive_end,
    // A chunk could not be read: a length reaching before the start of the
    // input or over the limit, a failed or short read.
    read_failed,
    // A chunk's data did not match its digest ("Invalid Archive!").
    digest_mismatch,
    // A file entry could not be written, or a text was refused by the
    // decoding ("Failed to extract file!").
    extract_failed,
    // Every chunk matched its digest, but the chunks read do not match the
    // commitment (nothing is reported: the caller says "Invalid Archive!").
    commitment_mismatch,
    // context.stop asked for the end (nothing is reported).
    cancelled,
};

struct extraction_result {
    extraction_outcome outcome = extraction_outcome::complete;
    // Where the walk stopped: for read_failed and digest_mismatch the end of
    // the chunk that failed.
    std::uint64_t offset = 0;
    // For extract_failed, the output path; `error` the reason.
    std::string path;
    std::string error;
    // Once the walk reached the stub entry: the commitment of the chunks it
    // read (what a sealed slot must hold).
    commitment_digest records{};
};

// Reads the archive in `context.input` backward from its tail:
// - the tail chunk sets archive_complete;
// - a value entry records key -> value if the key is absent;
// - a file entry records key -> file name (for a non-empty key, if absent)
//   and writes the data to working_directory + file name, replacing an
//   existing file; the data is digested while it is written and the output is
//   removed again if the digest does not match;
// - the stub entry ends the walk; with context.commitment set, the records of
//   the chunks read must match it, or archive_complete is cleared
//   (commitment_mismatch);
// - any other kind consumes its kind and key chunks only.
// Keys, values and file names go through context.decode first, when given.
// Failures: no marker reports "Failed to initialize archive!" naming
// `archive_path`; a digest mismatch reports "Invalid Archive!"; a file name
// that is not bare (output_sink::accepts_name), a text that the decoding
// refuses, a file that cannot be created, a
// failed or short write or close reports "Failed to extract file!" naming the
// output path, and leaves no partial file. Every failure clears
// archive_complete and ends the walk; entries recorded and files written
// before it stay.
extraction_result extract_entries(const std::string& archive_path, extraction_context& context);

}  // namespace archive
