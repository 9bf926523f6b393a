#include "io/input.hpp"

#include <cstring>

namespace archive {

bool memory_input::size(std::uint64_t& result) {
    result = bytes_.size();
    return true;
}

bool memory_input::read_at(std::uint64_t offset, void* buffer, std::size_t count) {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    if (count != 0) std::memcpy(buffer, bytes_.data() + offset, count);
    return true;
}

std::string memory_input::failure_text() { return "read beyond the end of the data"; }

}  // namespace archive
