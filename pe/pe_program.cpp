// Whether a file is a program the system can start: read by the bootstrapper
// before every launch, so apart from the full header reader and small.
#include <algorithm>

#include "pe/pe_image.hpp"

namespace archive::pe {

bool is_program(seekable_input& input) {
    constexpr std::size_t window = 4096;
    constexpr std::uint16_t executable_image = 0x0002, dll = 0x2000;
    constexpr std::uint16_t pe32_magic = 0x10b, pe32_plus_magic = 0x20b;
    constexpr std::uint16_t windows_gui = 2, windows_console = 3;
    std::uint64_t size = 0;
    char headers[window];
    if (!input.size(size) || size < 64) return false;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, window));
    if (!input.read_at(0, headers, count)) return false;
    const std::string_view bytes(headers, count);
    if (bytes.substr(0, 2) != "MZ") return false;
    const std::uint32_t pe = read32(bytes, 0x3c);
    // The signature, the COFF header (20 bytes) and the optional header up
    // to its subsystem field (offset 68) must lie within the window.
    if (pe > count || count - pe < 4 + 20 + 70 || bytes.substr(pe, 4) != std::string_view("PE\0\0", 4)) return false;
    const std::uint16_t characteristics = read16(bytes, pe + 4 + 18);
    const std::uint16_t magic = read16(bytes, pe + 24);
    const std::uint16_t subsystem = read16(bytes, pe + 24 + 68);
    return (characteristics & executable_image) && !(characteristics & dll) &&
           (magic == pe32_magic || magic == pe32_plus_magic) &&
           (subsystem == windows_gui || subsystem == windows_console);
}

}  // namespace archive::pe
