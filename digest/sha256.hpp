// SHA-256 (FIPS 180-4): the digest of the commitment by which an installer's
// image binds its archive. Small rather than fast: it digests 20 bytes per
// chunk, never the chunks' data. Portable: no Windows headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace archive {

class sha256 {
public:
    using digest_type = std::array<unsigned char, 32>;

    sha256() noexcept;

    // Appends bytes to the message. Calls after digest() are ignored.
    void update(const void* data, std::size_t size) noexcept;
    void update(std::string_view data) noexcept { update(data.data(), data.size()); }

    // The 32 digest bytes. Finalises on the first call; later calls give the
    // same bytes.
    const digest_type& digest() noexcept;

private:
    void transform(const unsigned char* block) noexcept;

    std::uint32_t state_[8];
    std::uint64_t length_ = 0;  // message length in bytes
    unsigned char buffer_[64];
    std::size_t buffered_ = 0;
    bool final_ = false;
    digest_type digest_{};
};

}  // namespace archive
