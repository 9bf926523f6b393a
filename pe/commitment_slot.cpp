#include "pe/commitment_slot.hpp"

#include "pe/pe_image.hpp"

namespace archive {

std::optional<commitment_slot> find_commitment_slot(seekable_input& input) {
    std::uint64_t size = 0;
    unsigned char start[2];
    if (!input.size(size) || size < 2 || !input.read_at(0, start, 2) || start[0] != 'M' || start[1] != 'Z')
        return std::nullopt;
    pe::image image;
    try {
        image = pe::read_image(input);
    } catch (const pe::format_error&) {
        return std::nullopt;
    }
    const pe::section* found = nullptr;
    for (const pe::section& s : image.sections) {
        if (s.name != commitment_section) continue;
        if (found) throw pe::format_error("the image has two sections named " + std::string(commitment_section));
        found = &s;
    }
    if (!found) return std::nullopt;
    if (found->raw_size < commitment_slot_size || found->virtual_size < commitment_slot_size)
        throw pe::format_error("the commitment section has no room for the slot");
    std::string bytes(commitment_slot_size, '\0');
    if (!input.read_at(found->raw_offset, bytes.data(), bytes.size()))
        throw pe::format_error("the commitment slot cannot be read: " + input.failure_text());
    const std::uint32_t state = pe::read32(bytes, commitment_state_offset);
    if (bytes.compare(0, commitment_magic.size(), commitment_magic) != 0 ||
        bytes.find_first_not_of('\0', commitment_magic.size()) < commitment_version_offset)
        throw pe::format_error("the commitment section does not begin with the slot's magic");
    if (pe::read32(bytes, commitment_version_offset) != commitment_version)
        throw pe::format_error("the commitment slot has version " +
                               std::to_string(pe::read32(bytes, commitment_version_offset)) + ", not " +
                               std::to_string(commitment_version));
    if (state != commitment_empty && state != commitment_sealed)
        throw pe::format_error("the commitment slot has an unknown state " + std::to_string(state));
    const std::size_t reserved = commitment_digest_offset + sizeof(commitment_digest);
    if (bytes.find_first_not_of('\0', reserved) != std::string::npos)
        throw pe::format_error("the commitment slot's reserved bytes are not zero");
    if (state == commitment_empty && bytes.find_first_not_of('\0', commitment_digest_offset) != std::string::npos)
        throw pe::format_error("the empty commitment slot holds a digest");

    commitment_slot slot;
    slot.offset = found->raw_offset;
    slot.sealed = state == commitment_sealed;
    std::copy(bytes.begin() + commitment_digest_offset, bytes.begin() + reserved, slot.digest.begin());
    return slot;
}

std::string sealed_commitment_slot(const commitment_digest& digest) {
    std::string bytes(commitment_slot_size, '\0');
    bytes.replace(0, commitment_magic.size(), commitment_magic);
    pe::write32(bytes, commitment_version_offset, commitment_version);
    pe::write32(bytes, commitment_state_offset, commitment_sealed);
    bytes.replace(commitment_digest_offset, digest.size(), reinterpret_cast<const char*>(digest.data()),
                  digest.size());
    return bytes;
}

void seal_image(std::string& image, std::uint64_t slot_offset, const commitment_digest& digest) {
    memory_input input(image);
    const pe::image headers = pe::read_image(input);
    if (slot_offset > image.size() || image.size() - slot_offset < commitment_slot_size)
        throw pe::format_error("the commitment slot lies beyond the end of the image");
    image.replace(static_cast<std::size_t>(slot_offset), commitment_slot_size, sealed_commitment_slot(digest));
    pe::write32(image, headers.checksum_offset, pe::checksum(image, headers.checksum_offset));
}

}  // namespace archive
