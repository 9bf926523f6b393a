#include "digest/md5.hpp"
#include "digest/sha256.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

namespace {

std::string hex(const archive::md5::digest_type& d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

archive::md5::digest_type openssl_md5(const std::string& data) {
    archive::md5::digest_type d{};
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d.data(), &size, EVP_md5(), nullptr), 1);
    EXPECT_EQ(size, 16u);
    return d;
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto [text, expected] : suite) EXPECT_EQ(hex(archive::md5(text).digest()), expected) << text;
}

TEST(Md5, DigestIsFinalAndRepeatable) {
    archive::md5 m("abc");
    auto first = m.digest();
    m.update("more");
    EXPECT_EQ(m.digest(), first);
    EXPECT_EQ(hex(first), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, MatchesOpenSslOverBoundaryAndRandomLengths) {
    std::mt19937 rng(1321);
    std::vector<std::size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000,
                                        3 * 1024 * 1024 + 17, 5 * 1024 * 1024};
    for (int i = 0; i < 200; ++i) lengths.push_back(rng() % 5000);
    for (std::size_t length : lengths) {
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        auto expected = openssl_md5(data);
        EXPECT_EQ(archive::md5(data).digest(), expected) << "length " << length;

        // Fed in uneven pieces, the digest is the same.
        archive::md5 pieces;
        for (std::size_t done = 0; done < length;) {
            std::size_t n = std::min<std::size_t>(length - done, 1 + rng() % 200);
            pieces.update(data.data() + done, n);
            done += n;
        }
        EXPECT_EQ(pieces.digest(), expected) << "length " << length << " in pieces";
    }
}

// The commitment's digest against OpenSSL's, whole and in uneven pieces, at
// the lengths around its padding boundaries; final once asked for.
TEST(Sha256, MatchesOpenSslOverBoundaryAndRandomLengths) {
    std::mt19937 rng(180);
    std::vector<std::size_t> lengths = {0, 1, 3, 20, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 20 * 1000};
    for (int i = 0; i < 100; ++i) lengths.push_back(rng() % 3000);
    for (std::size_t length : lengths) {
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        archive::sha256::digest_type expected{};
        unsigned int size = 0;
        ASSERT_EQ(EVP_Digest(data.data(), data.size(), expected.data(), &size, EVP_sha256(), nullptr), 1);
        archive::sha256 pieces;
        for (std::size_t done = 0; done < length;) {
            std::size_t n = std::min<std::size_t>(length - done, 1 + rng() % 70);
            pieces.update(data.data() + done, n);
            done += n;
        }
        EXPECT_EQ(pieces.digest(), expected) << "length " << length;
        pieces.update("more");
        EXPECT_EQ(pieces.digest(), expected) << "length " << length << ": not final";
    }
}
