// Packing: an installer is a stub executable followed by an archive whose
// first chunk is the stub's own bytes. The packer and the tests build
// installers (and deliberately damaged archives) with these functions.
// Portable: no Windows headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/chunk.hpp"
#include "archive/commitment.hpp"
#include "io/input.hpp"
#include "pe/commitment_slot.hpp"

namespace archive {

// One entry of an archive, as it is read back.
struct installer_entry {
    enum class kind_type { value, file };

    kind_type kind = kind_type::value;
    std::string key;
    // Value entries: the value. File entries: the bare file name under which
    // extraction writes the data.
    std::string value;
    // File entries: the data, unless `source` is set.
    std::string data;
    // File entries: when set, the data is the whole of this input, streamed
    // (not owned; must outlive the writing).
    seekable_input* source = nullptr;

    static installer_entry make_value(std::string key, std::string value);
    static installer_entry make_file(std::string key, std::string file_name, std::string data);
    static installer_entry make_file(std::string key, std::string file_name, seekable_input& source);
};

// Chunks of single entries in file order (each entry's chunks stand in the
// reverse of their reading order), for archives put together by hand.
// The stub entry: the image chunk (the stub's bytes), its file name, the key
// "stub", the kind "stub".
void write_stub_entry(chunk_writer& out, seekable_input& image, std::string_view stub_name);
void write_stub_entry(chunk_writer& out, std::string_view image, std::string_view stub_name);
// value, key, "value".
void write_value_entry(chunk_writer& out, std::string_view key, std::string_view value);
// data, file name, key, "file".
void write_file_entry(chunk_writer& out, const installer_entry& entry);
// key, kind: an entry of any kind with no further chunks.
void write_bare_entry(chunk_writer& out, std::string_view kind, std::string_view key);
// The tail chunk.
void write_tail(chunk_writer& out);

// A whole archive: the stub entry (image = the stub's bytes, so the image
// chunk begins at offset 0), then `entries` so that they are read back in
// the given order, then the tail. Deterministic. Returns the commitment of
// what it wrote; the stub's slot is left as it is (see seal_installer).
commitment_digest write_installer(chunk_writer& out, seekable_input& stub, std::string_view stub_name,
                                  const std::vector<installer_entry>& entries);

// The installer in `installer`, whose image chunk holds the stub's first
// `image_size` bytes, sealed: the image's commitment slot filled with
// `commitment` and its checksum recomputed (seal_image), and the image
// chunk's stored digest rewritten to match. False, with nothing changed,
// when the image has no slot. Throws pe::format_error for a slot that looks
// wrong.
bool seal_installer(std::string& installer, std::size_t image_size, const commitment_digest& commitment);

// write_installer in memory, sealed when the stub has a slot.
std::string build_installer(std::string_view stub, std::string_view stub_name,
                            const std::vector<installer_entry>& entries);

}  // namespace archive
