// The commitment by which an installer's image binds its archive: the
// SHA-256 of the records (length field and stored MD5, the 20 bytes behind
// each chunk's data) of every chunk that extraction reads, in reading
// order: from the tail chunk to the stub entry's key. The walk computes it
// as it reads (chunk_reader::record_into, extraction_result::records); the
// packer computes it from what it wrote and seals it into the image's slot
// (pe/commitment_slot.hpp) before the installer is signed. Portable: no
// Windows headers.
#pragma once

#include <cstddef>
#include <vector>

#include "archive/chunk.hpp"
#include "pe/commitment_slot.hpp"

namespace archive {

// The commitment over `records` (a writer's records in file order) from
// index `first` on: the records of the chunks that extraction reads, in
// reading order (the last one written first).
commitment_digest commitment_of(const std::vector<chunk_record>& records, std::size_t first);

}  // namespace archive
