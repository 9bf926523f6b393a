// The slot in which an installer's image keeps the commitment to its
// archive (archive/commitment.hpp says what it covers). The stub reserves
// the slot in a section of its own; the packer fills it before the
// installer is signed. The signature covers the image and so the slot; the
// MD5s bind the chunks' data. At run time the bootstrapper compares what it
// read with the slot of its mapped image: any other archive, wherever it
// comes from, fails. Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "digest/sha256.hpp"
#include "io/input.hpp"

namespace archive {

using commitment_digest = sha256::digest_type;

// The slot: the magic text, the version (1), the state (0 empty, 1 sealed),
// each as an unsigned 32-bit little-endian number after the magic, then the
// digest and 8 reserved zero bytes.
inline constexpr char commitment_section[] = ".commit";
inline constexpr std::string_view commitment_magic = "archive-commitment";  // 18 bytes
inline constexpr std::size_t commitment_version_offset = 20;
inline constexpr std::size_t commitment_state_offset = 24;
inline constexpr std::size_t commitment_digest_offset = 28;
inline constexpr std::size_t commitment_slot_size = 68;
inline constexpr std::uint32_t commitment_version = 1;
inline constexpr std::uint32_t commitment_empty = 0;
inline constexpr std::uint32_t commitment_sealed = 1;

// The state and digest a slot holds.
struct commitment_slot {
    std::uint64_t offset = 0;  // file offset of the slot in the image
    bool sealed = false;
    commitment_digest digest{};
};

// The slot in the image at the start of `input` (a stub, or an installer,
// whose headers are the stub's). None when the input is no PE image or the
// image has no commitment section. Throws pe::format_error for a slot that
// looks wrong: a second section of that name, a section without room for
// the slot, another magic, version or state, reserved bytes that are not
// zero.
std::optional<commitment_slot> find_commitment_slot(seekable_input& input);

// The slot's bytes holding `digest`, sealed.
std::string sealed_commitment_slot(const commitment_digest& digest);

// Seals the slot at `slot_offset` of the image held in `image` and sets the
// image's checksum to that of the image on its own (pe::checksum), as the
// linker computes it.
void seal_image(std::string& image, std::uint64_t slot_offset, const commitment_digest& digest);

}  // namespace archive
