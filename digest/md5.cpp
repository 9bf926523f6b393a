#include "digest/md5.hpp"

#include <algorithm>
#include <cstring>

namespace archive {

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int n) noexcept { return (x << n) | (x >> (32 - n)); }

// T[i] = floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

}  // namespace

md5::md5() noexcept : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

md5::md5(std::string_view data) noexcept : md5() { update(data); }

// One round step: a = b + rotl(a + f(b, c, d) + x + t, s). Each function is
// written so that b, the value computed by the step before, enters last: the
// terms without it are computed while the previous step is still running,
// which keeps the dependency chain of the 64 steps short.
#define MD5_STEP_F(a, b, c, d, x, t, s)  \
    a += (x) + (t);                      \
    a += (d) ^ ((b) & ((c) ^ (d)));      \
    a = rotl(a, s) + (b)
#define MD5_STEP_G(a, b, c, d, x, t, s)  \
    a += (x) + (t);                      \
    a += (c) & ~(d);                     \
    a += (b) & (d);                      \
    a = rotl(a, s) + (b)
#define MD5_STEP_H(a, b, c, d, x, t, s)  \
    a += (x) + (t);                      \
    a += (b) ^ ((c) ^ (d));              \
    a = rotl(a, s) + (b)
#define MD5_STEP_I(a, b, c, d, x, t, s)  \
    a += (x) + (t);                      \
    a += (c) ^ ((b) | ~(d));             \
    a = rotl(a, s) + (b)

// The four rounds of 16 steps each, with each step's message word, constant
// and shift as RFC 1321 lists them. Macros rather than functions, so that
// the 64 steps stay one straight line of code that the compiler schedules
// as a whole (the loop whose speed a run feels).
#define MD5_ROUND_1                           \
    MD5_STEP_F(a, b, c, d, m[0], t[0], 7);    \
    MD5_STEP_F(d, a, b, c, m[1], t[1], 12);   \
    MD5_STEP_F(c, d, a, b, m[2], t[2], 17);   \
    MD5_STEP_F(b, c, d, a, m[3], t[3], 22);   \
    MD5_STEP_F(a, b, c, d, m[4], t[4], 7);    \
    MD5_STEP_F(d, a, b, c, m[5], t[5], 12);   \
    MD5_STEP_F(c, d, a, b, m[6], t[6], 17);   \
    MD5_STEP_F(b, c, d, a, m[7], t[7], 22);   \
    MD5_STEP_F(a, b, c, d, m[8], t[8], 7);    \
    MD5_STEP_F(d, a, b, c, m[9], t[9], 12);   \
    MD5_STEP_F(c, d, a, b, m[10], t[10], 17); \
    MD5_STEP_F(b, c, d, a, m[11], t[11], 22); \
    MD5_STEP_F(a, b, c, d, m[12], t[12], 7);  \
    MD5_STEP_F(d, a, b, c, m[13], t[13], 12); \
    MD5_STEP_F(c, d, a, b, m[14], t[14], 17); \
    MD5_STEP_F(b, c, d, a, m[15], t[15], 22)

#define MD5_ROUND_2                           \
    MD5_STEP_G(a, b, c, d, m[1], t[16], 5);   \
    MD5_STEP_G(d, a, b, c, m[6], t[17], 9);   \
    MD5_STEP_G(c, d, a, b, m[11], t[18], 14); \
    MD5_STEP_G(b, c, d, a, m[0], t[19], 20);  \
    MD5_STEP_G(a, b, c, d, m[5], t[20], 5);   \
    MD5_STEP_G(d, a, b, c, m[10], t[21], 9);  \
    MD5_STEP_G(c, d, a, b, m[15], t[22], 14); \
    MD5_STEP_G(b, c, d, a, m[4], t[23], 20);  \
    MD5_STEP_G(a, b, c, d, m[9], t[24], 5);   \
    MD5_STEP_G(d, a, b, c, m[14], t[25], 9);  \
    MD5_STEP_G(c, d, a, b, m[3], t[26], 14);  \
    MD5_STEP_G(b, c, d, a, m[8], t[27], 20);  \
    MD5_STEP_G(a, b, c, d, m[13], t[28], 5);  \
    MD5_STEP_G(d, a, b, c, m[2], t[29], 9);   \
    MD5_STEP_G(c, d, a, b, m[7], t[30], 14);  \
    MD5_STEP_G(b, c, d, a, m[12], t[31], 20)

#define MD5_ROUND_3                           \
    MD5_STEP_H(a, b, c, d, m[5], t[32], 4);   \
    MD5_STEP_H(d, a, b, c, m[8], t[33], 11);  \
    MD5_STEP_H(c, d, a, b, m[11], t[34], 16); \
    MD5_STEP_H(b, c, d, a, m[14], t[35], 23); \
    MD5_STEP_H(a, b, c, d, m[1], t[36], 4);   \
    MD5_STEP_H(d, a, b, c, m[4], t[37], 11);  \
    MD5_STEP_H(c, d, a, b, m[7], t[38], 16);  \
    MD5_STEP_H(b, c, d, a, m[10], t[39], 23); \
    MD5_STEP_H(a, b, c, d, m[13], t[40], 4);  \
    MD5_STEP_H(d, a, b, c, m[0], t[41], 11);  \
    MD5_STEP_H(c, d, a, b, m[3], t[42], 16);  \
    MD5_STEP_H(b, c, d, a, m[6], t[43], 23);  \
    MD5_STEP_H(a, b, c, d, m[9], t[44], 4);   \
    MD5_STEP_H(d, a, b, c, m[12], t[45], 11); \
    MD5_STEP_H(c, d, a, b, m[15], t[46], 16); \
    MD5_STEP_H(b, c, d, a, m[2], t[47], 23)

#define MD5_ROUND_4                           \
    MD5_STEP_I(a, b, c, d, m[0], t[48], 6);   \
    MD5_STEP_I(d, a, b, c, m[7], t[49], 10);  \
    MD5_STEP_I(c, d, a, b, m[14], t[50], 15); \
    MD5_STEP_I(b, c, d, a, m[5], t[51], 21);  \
    MD5_STEP_I(a, b, c, d, m[12], t[52], 6);  \
    MD5_STEP_I(d, a, b, c, m[3], t[53], 10);  \
    MD5_STEP_I(c, d, a, b, m[10], t[54], 15); \
    MD5_STEP_I(b, c, d, a, m[1], t[55], 21);  \
    MD5_STEP_I(a, b, c, d, m[8], t[56], 6);   \
    MD5_STEP_I(d, a, b, c, m[15], t[57], 10); \
    MD5_STEP_I(c, d, a, b, m[6], t[58], 15);  \
    MD5_STEP_I(b, c, d, a, m[13], t[59], 21); \
    MD5_STEP_I(a, b, c, d, m[4], t[60], 6);   \
    MD5_STEP_I(d, a, b, c, m[11], t[61], 10); \
    MD5_STEP_I(c, d, a, b, m[2], t[62], 15);  \
    MD5_STEP_I(b, c, d, a, m[9], t[63], 21)

void md5::transform(const unsigned char* block) noexcept {
    std::uint32_t m[16];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(m, block, sizeof m);
#else
    for (int i = 0; i < 16; ++i)
        m[i] = std::uint32_t(block[4 * i]) | std::uint32_t(block[4 * i + 1]) << 8 |
               std::uint32_t(block[4 * i + 2]) << 16 | std::uint32_t(block[4 * i + 3]) << 24;
#endif
    const std::uint32_t* t = sine_table;
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    MD5_ROUND_1;
    MD5_ROUND_2;
    MD5_ROUND_3;
    MD5_ROUND_4;

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

#undef MD5_ROUND_1
#undef MD5_ROUND_2
#undef MD5_ROUND_3
#undef MD5_ROUND_4
#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

void md5::update(const void* data, std::size_t size) noexcept {
    if (final_ || size == 0) return;
    auto bytes = static_cast<const unsigned char*>(data);
    length_ += size;
    if (buffered_ != 0) {
        std::size_t take = std::min(size, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < sizeof buffer_) return;
        transform(buffer_);
        buffered_ = 0;
    }
    for (; size >= 64; bytes += 64, size -= 64) transform(bytes);
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
}

const md5::digest_type& md5::digest() noexcept {
    if (final_) return digest_;
    std::uint64_t bits = length_ * 8;
    static constexpr unsigned char padding[64] = {0x80};
    std::size_t pad = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    update(padding, pad);
    unsigned char encoded_length[8];
    for (int i = 0; i < 8; ++i) encoded_length[i] = static_cast<unsigned char>(bits >> (8 * i));
    update(encoded_length, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest_[4 * i + j] = static_cast<unsigned char>(state_[i] >> (8 * j));
    final_ = true;
    return digest_;
}

}  // namespace archive
