// Fuzz target over the resource reader that `chunkpack list` runs on
// untrusted installers, and over the rewrite of what it reads. Invariants:
// - reading either succeeds or is refused with pe::format_error;
// - an image that reads is branded or refused with a reason, never crashes;
// - a branded image reads back, with the names and versions it was given.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pe/installer_identity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        archive::memory_input input(bytes);
        const archive::pe::image img = archive::pe::read_image(input);
        archive::read_identity(img, input);
    } catch (const archive::pe::format_error&) {
        return 0;
    }
    archive::identity_options options;
    options.product_name = "Tarnwick";
    options.file_version = "1.2.3.4";
    options.product_version = "5.6";
    std::string branded;
    try {
        branded = archive::apply_identity(bytes, options);
    } catch (const archive::pe::format_error&) {
        return 0;
    } catch (const archive::identity_error&) {
        return 0;
    }
    archive::memory_input again(branded);
    const archive::installer_identity identity = archive::read_identity(archive::pe::read_image(again), again);
    if (identity.product_name != "Tarnwick" || identity.file_version != std::array<std::uint16_t, 4>{1, 2, 3, 4} ||
        identity.product_version != std::array<std::uint16_t, 4>{5, 6, 0, 0})
        std::abort();
    return 0;
}
