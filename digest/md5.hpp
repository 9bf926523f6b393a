// MD5 message digest (RFC 1321): the digest that every archive chunk carries.
// Portable: no Windows headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace archive {

class md5 {
public:
    using digest_type = std::array<unsigned char, 16>;

    md5() noexcept;
    // The digest object of a whole byte string.
    explicit md5(std::string_view data) noexcept;

    // Appends bytes to the message. Calls after digest() are ignored: the
    // digest is final once it has been asked for.
    void update(const void* data, std::size_t size) noexcept;
    void update(std::string_view data) noexcept { update(data.data(), data.size()); }

    // The 16 raw digest bytes in the standard order. Finalises on the first
    // call; later calls give the same bytes.
    const digest_type& digest() noexcept;

private:
    void transform(const unsigned char* block) noexcept;

    std::uint32_t state_[4];
    std::uint64_t length_ = 0;  // message length in bytes
    unsigned char buffer_[64];
    std::size_t buffered_ = 0;
    bool final_ = false;
    digest_type digest_{};
};

}  // namespace archive
