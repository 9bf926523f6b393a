// Every truncation and every single-byte change of a small installer either
// extracts exactly what the intact one does (the byte is one that is never
// read) or leaves the archive incomplete; never anything else.
#include <gtest/gtest.h>

#include "archive/file_name.hpp"
#include "harness.hpp"
#include "packing/installer_builder.hpp"

using archive::installer_entry;

namespace {

std::string small_installer() {
    // A stub that, like the real one, holds the marker text in its data.
    std::string stub = "MZ\x90\x00 image with the marker chunked-installer-tail in its data";
    std::string bytes = archive::build_installer(
        stub, "bootstrap.exe",
        {installer_entry::make_value("msilog", "ON"), installer_entry::make_value("executable32", "%installer32%"),
         installer_entry::make_file("installer32", "setup.exe", "MZ payload"),
         installer_entry::make_file("", "empty.txt", "")});
    return bytes + std::string(8, '\0');  // a trailer, as signing leaves one
}

class sweep : public ::testing::Test {
protected:
    void SetUp() override {
        bytes = small_installer();
        intact = archive_test::extract(bytes);
        ASSERT_TRUE(intact.complete);
        ASSERT_EQ(intact.files.size(), 2u);
    }

    // Checks one damaged input; returns whether it extracted like the intact one.
    bool check(const std::string& damaged, const std::string& what) {
        archive_test::memory_output out;
        auto r = archive_test::extract(damaged, {}, &out);
        for (const auto& path : out.created) {
            EXPECT_EQ(path.compare(0, archive_test::work_dir.size(), archive_test::work_dir), 0) << what;
            EXPECT_TRUE(archive::is_bare_file_name(path.substr(archive_test::work_dir.size()))) << what;
        }
        if (!r.complete) return false;
        EXPECT_EQ(r.entries.entries(), intact.entries.entries()) << what;
        EXPECT_EQ(r.files, intact.files) << what;
        EXPECT_TRUE(r.messages.empty()) << what;
        return true;
    }

    std::string bytes;
    archive_test::run_result intact;
};

}  // namespace

TEST_F(sweep, EveryTruncation) {
    const std::size_t archive_end = bytes.size() - 8;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        bool same = check(bytes.substr(0, size), "size " + std::to_string(size));
        // Only cutting off (part of) the trailer keeps the archive whole.
        EXPECT_EQ(same, size >= archive_end) << "size " << size;
    }
}

TEST_F(sweep, EverySingleByteChange) {
    // The bytes that are never read: the image chunk, the stub's file name
    // chunk, and the trailer.
    const std::size_t stub_size = bytes.find("bootstrap.exe") - 20;
    const std::size_t never_read_end = stub_size + 20 + 13 + 20;
    const std::size_t archive_end = bytes.size() - 8;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::size_t unchanged = 0;
        for (int delta = 1; delta < 256; ++delta) {
            std::string damaged = bytes;
            damaged[at] = static_cast<char>(damaged[at] + delta);
            if (check(damaged, "offset " + std::to_string(at) + " +" + std::to_string(delta))) ++unchanged;
        }
        bool never_read = at < never_read_end || at >= archive_end;
        EXPECT_EQ(unchanged, never_read ? 255u : 0u) << "offset " << at;
    }
}
