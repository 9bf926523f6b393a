#include "archive/commitment.hpp"

namespace archive {

commitment_digest commitment_of(const std::vector<chunk_record>& records, std::size_t first) {
    sha256 digest;
    for (std::size_t i = records.size(); i > first; --i) digest.update(records[i - 1].data(), records[i - 1].size());
    return digest.digest();
}

}  // namespace archive
