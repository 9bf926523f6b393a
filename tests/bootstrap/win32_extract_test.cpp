// The bootstrapper's extraction on real files under Wine.
#include "bootstrap/win32_extract.hpp"

#include <gtest/gtest.h>

#include "bootstrap/process_state.hpp"
#include "corvid/handle.hpp"
#include "corvid/message_box.hpp"
#include "corvid/unicode/convert.hpp"
#include "packing/installer_builder.hpp"
#include "platform/win32/win32_io.hpp"
#include "tests/support/scratch_dir.hpp"

using archive::installer_entry;
using test_support::exists;
using test_support::read_file;
using test_support::write_file;

namespace {

class Win32Extract : public ::testing::Test {
protected:
    void SetUp() override {
        corvid::set_silent_mode(true);
        archive::process_entries().clear();
        archive::archive_complete = false;
        work = dir.path() + "work\\";
        ASSERT_TRUE(::CreateDirectoryA(work.c_str(), nullptr));
        archive::working_directory = work;
        installer = dir.path() + "setup.exe";
    }
    void TearDown() override { corvid::set_silent_mode(false); }

    void pack(const std::vector<installer_entry>& entries, std::string trailer = "") {
        bytes = archive::build_installer("MZ stub image", "bootstrap.exe", entries) + trailer;
        ASSERT_TRUE(write_file(installer, bytes));
    }

    test_support::scratch_dir dir{"archive"};
    std::string work, installer, bytes;
};

}  // namespace

TEST_F(Win32Extract, WritesFilesAndRecordsValues) {
    std::string payload(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + i / 4096);
    pack({installer_entry::make_value("msilog", "ON"), installer_entry::make_value("executable32", "%installer32%"),
          installer_entry::make_file("installer32", "payload_setup.exe", payload),
          installer_entry::make_file("", "empty.txt", "")},
         std::string(1, '\0') + std::string(5776, 'c'));
    archive::extract_archive(installer);
    EXPECT_TRUE(archive::archive_complete);
    EXPECT_TRUE(read_file(work + "payload_setup.exe") == payload);
    EXPECT_TRUE(exists(work + "empty.txt"));
    EXPECT_EQ(read_file(work + "empty.txt"), "");
    auto& t = archive::process_entries();
    EXPECT_EQ(archive::expand_references(t, "%executable32%"), "payload_setup.exe");
    EXPECT_EQ(*t.find("msilog"), "ON");
    EXPECT_EQ(t.size(), 3u);
}

TEST_F(Win32Extract, ReplacesAnExistingFile) {
    ASSERT_TRUE(write_file(work + "a.txt", "an older and longer content"));
    pack({installer_entry::make_file("a", "a.txt", "new")});
    archive::extract_archive(installer);
    EXPECT_TRUE(archive::archive_complete);
    EXPECT_EQ(read_file(work + "a.txt"), "new");
}

TEST_F(Win32Extract, ExtractedFilesStayUnchangeableWhileTheirHandlesAreHeld) {
    // Two entries of one name (in two spellings): the one read last is what
    // stays, and its predecessor's hold does not stand in its way.
    pack({installer_entry::make_value("executable32", "%installer32%"),
          installer_entry::make_file("installer32", "setup.exe", "payload bytes"),
          installer_entry::make_file("", "SETUP.EXE", "older bytes"),
          installer_entry::make_file("", "data.msi", "package")});
    std::vector<corvid::unique_file> held;
    EXPECT_EQ(archive::extract_archive(installer, &held), archive::extraction_outcome::complete);
    EXPECT_TRUE(archive::archive_complete);
    EXPECT_EQ(held.size(), 2u);
    for (const char* name : {"setup.exe", "data.msi"}) {
        const std::string path = work + name;
        // Read (and so started) by anyone, as the loader does.
        EXPECT_FALSE(read_file(path).empty()) << name;
        corvid::unique_file reader(::CreateFileA(path.c_str(), GENERIC_READ | FILE_EXECUTE,
                                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(reader) << name;
        // Never written, renamed or deleted: the holds alone refuse it (the
        // reader above, which shares no writing, is gone).
        reader.reset();
        corvid::unique_file writer(::CreateFileA(path.c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_FALSE(writer) << name;
        EXPECT_FALSE(::MoveFileExA(path.c_str(), (path + ".moved").c_str(), 0)) << name;
        EXPECT_FALSE(::DeleteFileA(path.c_str())) << name;
    }
    EXPECT_EQ(read_file(work + "setup.exe"), "older bytes");
    held.clear();
    EXPECT_TRUE(::DeleteFileA((work + "setup.exe").c_str()));

    // Without a taker the files are released when extraction returns.
    archive::process_entries().clear();
    archive::extract_archive(installer);
    EXPECT_TRUE(::DeleteFileA((work + "data.msi").c_str()));
}

TEST_F(Win32Extract, ArchiveThatCannotBeOpenedLeavesTheFlagClear) {
    archive::extract_archive(dir.path() + "missing.exe");
    EXPECT_FALSE(archive::archive_complete);

    // Opened for reading with read sharing only: a writer holding the file
    // keeps extraction out.
    pack({installer_entry::make_value("k", "v")});
    corvid::unique_file writer(::CreateFileA(installer.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    archive::extract_archive(installer);
    EXPECT_FALSE(archive::archive_complete);
    EXPECT_EQ(archive::process_entries().size(), 0u);
    writer.reset();

    // A reader that shares reading does not.
    corvid::unique_file reader(::CreateFileA(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    archive::extract_archive(installer);
    EXPECT_TRUE(archive::archive_complete);
}

TEST_F(Win32Extract, OutputThatCannotBeCreatedStopsExtraction) {
    pack({installer_entry::make_file("a", "first.txt", "1"), installer_entry::make_file("b", "locked.txt", "2"),
          installer_entry::make_file("c", "third.txt", "3")});
    ASSERT_TRUE(write_file(work + "locked.txt", "held"));
    corvid::unique_file holder(::CreateFileA((work + "locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    archive::extract_archive(installer);
    holder.reset();
    EXPECT_FALSE(archive::archive_complete);
    EXPECT_EQ(read_file(work + "first.txt"), "1");
    EXPECT_EQ(read_file(work + "locked.txt"), "held");
    EXPECT_FALSE(exists(work + "third.txt"));
}

TEST_F(Win32Extract, DamagedDataRemovesThePartialFileAndKeepsEarlierOnes) {
    std::string payload(2 * 1024 * 1024, 'p');
    pack({installer_entry::make_file("a", "first.txt", "1"), installer_entry::make_file("b", "payload.exe", payload)});
    std::size_t at = bytes.find(std::string(64, 'p'));
    ASSERT_NE(at, std::string::npos);
    bytes[at + payload.size() - 10] = 'q';
    ASSERT_TRUE(write_file(installer, bytes));
    archive::extract_archive(installer);
    EXPECT_FALSE(archive::archive_complete);
    EXPECT_EQ(read_file(work + "first.txt"), "1");
    EXPECT_FALSE(exists(work + "payload.exe"));
}

TEST_F(Win32Extract, NamesOutsideTheWorkingDirectoryAreRefused) {
    for (std::string name : {"..\\escape.txt", "../escape.txt", "C:escape.txt", "CON", "nul.txt", ""}) {
        archive::archive_complete = false;
        pack({installer_entry::make_file("k", name, "x")});
        archive::extract_archive(installer);
        EXPECT_FALSE(archive::archive_complete) << name;
        EXPECT_FALSE(exists(dir.path() + "escape.txt")) << name;
        WIN32_FIND_DATAA data;
        corvid::unique_find find(::FindFirstFileA((work + "*").c_str(), &data));
        ASSERT_TRUE(find);
        int entries = 0;
        do {
            ++entries;
        } while (::FindNextFileA(find.get(), &data));
        EXPECT_EQ(entries, 2) << name << ": the working directory holds more than . and ..";
    }
}

// Output paths of 260 characters or more go through the wide functions with
// the extended-length prefix: Windows' narrow functions take shorter ones
// only. Wine's take 260 too, but only the extended form takes a name
// literally (the narrow one drops a trailing dot), which shows the form used.
TEST_F(Win32Extract, OutputPathsFrom260CharactersTakeTheExtendedForm) {
    const struct {
        std::size_t length;
        bool extended;
    } paths[] = {{259, false}, {260, true}, {261, true}};
    for (const auto& p : paths) {
        ASSERT_LT(work.size() + 2, p.length);
        const std::string name = std::string(p.length - work.size() - 1, 'n') + ".";
        {
            archive::win32_output out;
            ASSERT_TRUE(out.create(work + name)) << p.length;
            EXPECT_TRUE(out.write("x", 1)) << p.length;
            EXPECT_TRUE(out.close()) << p.length;
        }
        const auto names = test_support::names_in(work);
        ASSERT_EQ(names.size(), 1u) << p.length;
        EXPECT_EQ(names[0], p.extended ? name : name.substr(0, name.size() - 1)) << p.length;
        EXPECT_TRUE(::DeleteFileW((L"\\\\?\\" + corvid::unicode::to_wide(work + names[0], 0)).c_str())) << p.length;
    }
}

// Files of 4 GiB or more are refused whole, never read through positions cut
// to 32 bits; below that, chunks near 4 GiB are read like any other. The
// hole sits at the end of the stub's image chunk, which extraction never
// reads; its length field grows with it.
TEST_F(Win32Extract, FilesAroundFourGigabytes) {
    const std::string stub = "MZ stub image";
    pack({installer_entry::make_value("executable32", "%installer32%"),
          installer_entry::make_file("installer32", "setup_payload.exe", "payload bytes")});
    ASSERT_EQ(bytes.compare(0, stub.size(), stub), 0);
    const unsigned long long four_gib = 1ull << 32;
    auto grown = [&](unsigned long long hole) {
        std::string after = bytes.substr(stub.size());
        const unsigned long long length = stub.size() + hole;
        for (int i = 0; i < 4; ++i) after[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return after;
    };

    const unsigned long long below = four_gib - 1 - bytes.size();
    ASSERT_TRUE(test_support::write_sparse_file(installer, stub, below, grown(below)));
    archive::extract_archive(installer);
    EXPECT_TRUE(archive::archive_complete) << "file of 4 GiB - 1 bytes";
    EXPECT_EQ(read_file(work + "setup_payload.exe"), "payload bytes");
    ASSERT_TRUE(::DeleteFileA((work + "setup_payload.exe").c_str()));

    archive::process_entries().clear();
    archive::archive_complete = false;
    ASSERT_TRUE(test_support::write_sparse_file(installer, stub, below + 1, grown(below + 1)));
    archive::extract_archive(installer);
    EXPECT_FALSE(archive::archive_complete) << "file of 4 GiB";
    EXPECT_FALSE(exists(work + "setup_payload.exe"));

    // The intact archive at the start of a file of 4 GiB plus its size: a
    // size cut to 32 bits would find exactly that archive.
    ASSERT_TRUE(test_support::write_sparse_file(installer, bytes, four_gib - bytes.size(), bytes));
    archive::extract_archive(installer);
    EXPECT_FALSE(archive::archive_complete) << "file of 4 GiB + the archive";
    EXPECT_FALSE(exists(work + "setup_payload.exe"));
    EXPECT_EQ(archive::process_entries().size(), 0u);
}
