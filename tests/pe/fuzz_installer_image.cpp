// Fuzz target over what an installer's image says about its archive: where
// the archive must end (the certificate table), what the table hides, and
// the commitment slot with the walk that checks it. The input is a whole
// installer. Invariants: a certificate table lies inside the file, behind
// every section's data, and a tail found for it ends at most 7 zero bytes
// before it; an unusable bound finds no tail; a table that hides nothing ends
// the file; a slot lies inside the file; with a sealed slot the walk
// completes exactly when the records it read match the slot, and the check
// changes no walk that stops earlier.
#include <cstdio>
#include <cstdlib>

#include "archive/chunk.hpp"
#include "archive/extract.hpp"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_installer_image: invariant violated: %s\n", what);
    std::abort();
}

archive::extraction_result walk(const std::string& bytes, const archive::commitment_digest* commitment, bool& complete) {
    archive::memory_input input(bytes);
    archive::discarding_output output;
    archive::entry_table entries;
    archive::extraction_context context{input, output, [](const std::string&, const std::string&) {}, entries,
                                        complete, "w\\", {}, {}, {}, commitment};
    return archive::extract_entries("fuzz.exe", context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using archive::pe::archive_bound;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    archive::memory_input input(bytes);
    const archive_bound bound = archive::pe::find_archive_bound(input);
    const bool table = bound.kind == archive_bound::type::certificate_table;
    check(!table || (bound.table_size != 0 && bound.table_offset + bound.table_size <= size), "table outside");
    try {
        const archive::pe::image image = archive::pe::read_image(input);
        for (const archive::pe::section& s : image.sections)
            check(!table || s.raw_size == 0 || s.raw_offset + std::uint64_t(s.raw_size) <= bound.table_offset,
                  "a certificate table over a section's data");
    } catch (const archive::pe::format_error&) {
    }

    archive::chunk_reader reader(input);
    if (reader.find_archive_end()) {
        const std::uint64_t end = reader.position();
        check(bound.kind != archive_bound::type::unusable, "a tail behind an unusable bound");
        check(!table || (end <= bound.table_offset && bound.table_offset - end <= archive::max_table_padding &&
                         bytes.find_first_not_of('\0', end) >= bound.table_offset),
              "the tail does not end where the certificate table begins");
        check(end >= 42 && bytes.compare(end - 42, archive::tail_marker.size(), archive::tail_marker) == 0,
              "no marker text 20 bytes before the end of the tail");
    }
    check(!table || !archive::pe::certificate_table_problem(input, bound).empty() ||
              bound.table_offset + bound.table_size == size,
          "bytes behind the certificate table went unreported");

    std::optional<archive::commitment_slot> slot;
    try {
        slot = archive::find_commitment_slot(input);
    } catch (const archive::pe::format_error&) {
        return 0;
    }
    if (!slot) return 0;
    check(slot->offset + archive::commitment_slot_size <= size, "the slot lies outside the file");
    if (!slot->sealed) return 0;
    bool plain_complete = false, checked_complete = false;
    const auto plain = walk(bytes, nullptr, plain_complete);
    const auto checked = walk(bytes, &slot->digest, checked_complete);
    if (plain.outcome == archive::extraction_outcome::complete) {
        const bool matches = plain.records == slot->digest;
        check(checked_complete == (matches && plain_complete) &&
                  (checked.outcome == archive::extraction_outcome::complete) == matches,
              "the commitment check disagrees with the records read");
    } else {
        check(checked.outcome == plain.outcome && !checked_complete, "the check changed a walk that stopped earlier");
    }
    return 0;
}
