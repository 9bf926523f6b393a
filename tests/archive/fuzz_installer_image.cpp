// Fuzz target over what an installer's image says about its archive: where
// the archive must end (the certificate table), what the table hides, and
// the commitment slot with the walk that checks it. The input is a whole
// installer file.
//
// Invariants checked on every input:
// - a certificate table lies inside the file; a tail found before it ends
//   at most 7 zero bytes before the table, 20 bytes after the marker text;
// - an unusable bound finds no tail; a table that hides nothing ends the
//   file;
// - a slot lies inside the file; a walk that reaches the stub entry accepts
//   exactly the archive whose records match a sealed slot.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/chunk.hpp"
#include "archive/commitment.hpp"
#include "archive/extract.hpp"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "fuzz_installer_image: invariant violated: %s\n", what);
    std::abort();
}

class discard final : public archive::output_sink {
public:
    bool create(const std::string&) override { return true; }
    bool write(const char*, std::size_t) override { return true; }
    bool close() override { return true; }
    void remove() override {}
    std::string failure_text() override { return {}; }
    std::string refused_name_text() override { return {}; }
};

archive::extraction_result walk(const std::string& bytes, const archive::commitment_digest* commitment, bool& complete) {
    archive::memory_input input(bytes);
    discard output;
    archive::entry_table entries;
    complete = false;
    archive::extraction_context context{input,   output,     [](const std::string&, const std::string&) {},
                                        entries, complete,   "w\\",
                                        {},      {},         {},
                                        commitment};
    return archive::extract_entries("fuzz.exe", context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    archive::memory_input input(bytes);
    const archive::pe::archive_bound bound = archive::pe::find_archive_bound(input);
    const bool table = bound.kind == archive::pe::archive_bound::type::certificate_table;
    if (table && (bound.table_size == 0 || bound.table_offset + bound.table_size > size))
        violated("the certificate table lies outside the file");

    archive::chunk_reader reader(input);
    if (reader.find_archive_end()) {
        if (bound.kind == archive::pe::archive_bound::type::unusable) violated("a tail behind an unusable bound");
        const std::uint64_t end = reader.position();
        if (table && (end > bound.table_offset || bound.table_offset - end > archive::max_table_padding ||
                      bytes.find_first_not_of('\0', end) < bound.table_offset))
            violated("the tail does not end where the certificate table begins");
        if (end < 42 || bytes.compare(end - 42, archive::tail_marker.size(), archive::tail_marker) != 0)
            violated("no marker text 20 bytes before the end of the tail");
    }
    if (table && archive::pe::certificate_table_problem(input, bound).empty() &&
        bound.table_offset + bound.table_size != size)
        violated("bytes behind the certificate table went unreported");

    std::optional<archive::commitment_slot> slot;
    try {
        slot = archive::find_commitment_slot(input);
    } catch (const archive::pe::format_error&) {
        return 0;
    }
    if (!slot) return 0;
    if (slot->offset + archive::commitment_slot_size > size) violated("the slot lies outside the file");
    if (!slot->sealed) return 0;
    bool unchecked_complete = false, checked_complete = false;
    const archive::extraction_result unchecked = walk(bytes, nullptr, unchecked_complete);
    const archive::extraction_result checked = walk(bytes, &slot->digest, checked_complete);
    if (unchecked.outcome == archive::extraction_outcome::complete) {
        const bool matches = unchecked.records == slot->digest;
        if (checked_complete != (matches && unchecked_complete) ||
            (checked.outcome == archive::extraction_outcome::complete) != matches)
            violated("the commitment check disagrees with the records read");
    } else if (checked.outcome != unchecked.outcome || checked_complete) {
        violated("the commitment changed a walk that never reached the stub");
    }
    return 0;
}
