// The packed layout, chunk by chunk, of an installer with the shipped
// archive's entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "digest/md5.hpp"
#include "packing/installer_builder.hpp"

namespace {

struct chunk {
    std::uint64_t start;
    std::string data;
    bool digest_ok;
};

// Walks the chunks from the end of `bytes` to offset 0 with nothing but the
// format's own arithmetic; returns them in file order.
std::vector<chunk> parse(const std::string& bytes) {
    std::vector<chunk> chunks;
    std::uint64_t end = bytes.size();
    while (end > 0) {
        EXPECT_GE(end, 20u);
        if (end < 20) break;
        auto p = reinterpret_cast<const unsigned char*>(bytes.data()) + end - 20;
        std::uint32_t length = p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
        EXPECT_LE(length, end - 20);
        if (length > end - 20) break;
        std::uint64_t start = end - 20 - length;
        std::string data = bytes.substr(start, length);
        archive::md5::digest_type stored;
        std::copy(p + 4, p + 20, stored.begin());
        chunks.insert(chunks.begin(), chunk{start, data, archive::md5(data).digest() == stored});
        end = start;
    }
    return chunks;
}

}  // namespace

TEST(Layout, ShippedEntriesGiveTheShippedChunkTable) {
    std::string stub(443392, '\0');
    stub[0] = 'M';
    stub[1] = 'Z';
    std::string payload(1837712, 'p');
    const std::string parameters = "/V\"ABCD=1 WEBINSTALLER=1 \"";
    ASSERT_EQ(parameters.size(), 26u);
    using archive::installer_entry;
    std::string bytes = archive::build_installer(
        stub, "bootstrap.exe",
        {installer_entry::make_value("msilog", "ON"), installer_entry::make_value("parameters", parameters),
         installer_entry::make_value("executable32", "%installer32%"),
         installer_entry::make_file("installer32", "setup_payload.exe", payload)});

    const std::vector<std::pair<std::uint64_t, std::string>> table = {
        {443392, stub},
        {13, "bootstrap.exe"},
        {4, "stub"},
        {4, "stub"},
        {1837712, payload},
        {17, "setup_payload.exe"},
        {11, "installer32"},
        {4, "file"},
        {13, "%installer32%"},
        {12, "executable32"},
        {5, "value"},
        {26, parameters},
        {10, "parameters"},
        {5, "value"},
        {2, "ON"},
        {6, "msilog"},
        {5, "value"},
        {22, "chunked-installer-tail"},
    };
    auto chunks = parse(bytes);
    ASSERT_EQ(chunks.size(), table.size());
    std::uint64_t expected_start = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(chunks[i].start, expected_start) << "chunk " << i;
        EXPECT_EQ(chunks[i].data.size(), table[i].first) << "chunk " << i;
        EXPECT_TRUE(chunks[i].data == table[i].second) << "chunk " << i;
        EXPECT_TRUE(chunks[i].digest_ok) << "chunk " << i;
        expected_start += table[i].first + 20;
    }
    EXPECT_EQ(bytes.size(), expected_start);
    EXPECT_EQ(bytes.compare(0, stub.size(), stub), 0);  // the image chunk begins at offset 0

    // Deterministic.
    EXPECT_TRUE(bytes == archive::build_installer(
                             stub, "bootstrap.exe",
                             {installer_entry::make_value("msilog", "ON"),
                              installer_entry::make_value("parameters", parameters),
                              installer_entry::make_value("executable32", "%installer32%"),
                              installer_entry::make_file("installer32", "setup_payload.exe", payload)}));
}
