#include "archive/extract.hpp"

#include <gtest/gtest.h>

#include "archive/file_name.hpp"
#include "harness.hpp"
#include "packing/installer_builder.hpp"
#include "pe/commitment_slot.hpp"
#include "pe/pe_image.hpp"

using archive::entry_event;
using archive::extraction_outcome;
using archive::installer_entry;
using archive_test::extract;
using archive_test::work_dir;

namespace {

const std::string stub = "MZ stub image bytes";

std::string build(const std::vector<installer_entry>& entries) {
    return archive::build_installer(stub, "bootstrap.exe", entries);
}

// Builds in file order with the given writer steps.
template <class F>
std::string custom(F steps) {
    std::string out;
    archive::chunk_writer w([&](const char* d, std::size_t n) {
        out.append(d, n);
        return true;
    });
    steps(w);
    return out;
}

const std::string invalid_text =
    "We are sorry, but your installation / update did not complete due to unexpected download errors.\r\n"
    "Please download full version of the program";

}  // namespace

TEST(Extract, ShippedEntriesAreReadInOrderAndStopAtTheStub) {
    std::string payload(100000, 'P');
    auto bytes = build({installer_entry::make_value("msilog", "ON"),
                        installer_entry::make_value("parameters", "/V\"ABCD=1 WEBINSTALLER=1 \""),
                        installer_entry::make_value("executable32", "%installer32%"),
                        installer_entry::make_file("installer32", "payload_setup.exe", payload)});
    auto r = extract(bytes);
    EXPECT_EQ(r.result.outcome, extraction_outcome::complete);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.entries.entries(), (std::map<std::string, std::string>{
                                       {"msilog", "ON"},
                                       {"parameters", "/V\"ABCD=1 WEBINSTALLER=1 \""},
                                       {"executable32", "%installer32%"},
                                       {"installer32", "payload_setup.exe"}}));
    EXPECT_EQ(archive::expand_references(r.entries, "%executable32%"), "payload_setup.exe");
    EXPECT_EQ(r.files, (std::map<std::string, std::string>{{work_dir + "payload_setup.exe", payload}}));
    ASSERT_EQ(r.events.size(), 6u);
    EXPECT_EQ(r.events[0].kind, entry_event::type::tail);
    EXPECT_EQ(r.events[1].key, "msilog");
    EXPECT_EQ(r.events[4].kind, entry_event::type::file);
    EXPECT_EQ(r.events[4].size, payload.size());
    EXPECT_EQ(r.events[5].kind, entry_event::type::stub);
    // The walk stops at the stub's key: its file name and image are never read.
    EXPECT_EQ(r.events[5].begin, stub.size() + 20 + 13 + 20);
}

TEST(Extract, TailAndStubOnlyGivesAnEmptyTableAndACompleteArchive) {
    archive::entry_table before;
    before.lookup_or_create("source") = "C:\\work";
    auto r = extract(build({}), before);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_TRUE(r.files.empty());
}

TEST(Extract, FirstReadEntryWinsAndRunKeysAreNotReplaced) {
    archive::entry_table before;
    before.lookup_or_create("source") = "C:\\work";
    before.lookup_or_create("commandline") = "/x";
    auto r = extract(build({installer_entry::make_value("k", "near the end"),
                            installer_entry::make_value("k", "further in"),
                            installer_entry::make_value("source", "C:\\elsewhere"),
                            installer_entry::make_value("commandline", "evil"),
                            installer_entry::make_value("", "empty key"),
                            installer_entry::make_file("", "nokey.bin", "data")}),
                     before);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(*r.entries.find("k"), "near the end");
    EXPECT_EQ(*r.entries.find("source"), "C:\\work");
    EXPECT_EQ(*r.entries.find("commandline"), "/x");
    EXPECT_EQ(*r.entries.find(""), "empty key");  // the file entry's empty key records nothing
    EXPECT_EQ(r.files.at(work_dir + "nokey.bin"), "data");
}

TEST(Extract, UnknownKindConsumesKindAndKeyOnly) {
    // File order: stub entry, a value entry, then an entry of kind "odd"
    // with its key, then the tail. If "odd" took a third chunk, the value
    // entry's kind would be swallowed.
    auto bytes = custom([](archive::chunk_writer& w) {
        archive::write_stub_entry(w, stub, "bootstrap.exe");
        archive::write_value_entry(w, "msilog", "ON");
        archive::write_bare_entry(w, "odd", "k2");
        archive::write_bare_entry(w, "File", "case matters");
        archive::write_tail(w);
    });
    auto r = extract(bytes);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.entries.entries(), (std::map<std::string, std::string>{{"msilog", "ON"}}));
    ASSERT_EQ(r.events.size(), 5u);
    EXPECT_EQ(r.events[1].kind, entry_event::type::other);
    EXPECT_EQ(r.events[1].kind_text, "File");
    EXPECT_EQ(r.events[2].kind_text, "odd");
}

TEST(Extract, FilesReplaceExistingOnesAndMayBeEmpty) {
    archive_test::memory_output out;
    out.files[work_dir + "a.txt"] = "old content that is longer";
    auto r = extract(build({installer_entry::make_file("a", "a.txt", "new"),
                            installer_entry::make_file("e", "empty.dat", "")}),
                     {}, &out);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.files.at(work_dir + "a.txt"), "new");
    EXPECT_EQ(r.files.at(work_dir + "empty.dat"), "");
}

TEST(Extract, LargeFilesAreWrittenInBoundedBlocksAndReportedToTheEnd) {
    std::string payload(5 * archive::max_read_block + 3, 'x');
    archive_test::memory_output out;
    auto r = extract(build({installer_entry::make_file("big", "big.bin", payload)}), {}, &out);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.files.at(work_dir + "big.bin").size(), payload.size());
    EXPECT_LE(out.peak_write, archive::max_read_block);
    ASSERT_FALSE(r.progress.empty());
    EXPECT_EQ(r.progress.back(), std::make_pair(std::uint64_t(payload.size()), std::uint64_t(payload.size())));
}

TEST(Extract, TheWalkedShareRisesBlockByBlockToTheArchivesSizeOnlyWhenItIsWhole) {
    const std::string payload(3 * archive::max_read_block + 7, 'p');
    const std::string whole =
        build({installer_entry::make_value("v", "1"), installer_entry::make_file("f", "p.exe", payload)});
    std::string damaged = whole, empty = build({});
    damaged[damaged.find(payload) + 1000] ^= 1;
    const std::string* const cases[] = {&whole, &damaged, &empty};
    for (const std::string* bytes : cases) {
        auto r = extract(*bytes);
        const std::uint64_t total = bytes->size();
        ASSERT_GE(r.advances.size(), 3u);
        EXPECT_EQ(r.advances.front(), std::make_pair(std::uint64_t(0), total));
        std::size_t inside_the_file = 0;
        for (std::size_t i = 1; i < r.advances.size(); ++i) {
            EXPECT_GE(r.advances[i].first, r.advances[i - 1].first);
            EXPECT_EQ(r.advances[i].second, total);
            inside_the_file += r.advances[i].first > payload.size() / 4 && r.advances[i].first < payload.size();
        }
        // Only a whole archive reaches its end; the stub's image is never read.
        EXPECT_EQ(r.advances.back().first == total, r.complete);
        EXPECT_LT(r.advances[r.advances.size() - 2].first, total - stub.size());
        EXPECT_EQ(inside_the_file, bytes->size() > payload.size() ? 2u : 0u);
    }
}

TEST(Extract, AStopEndsTheWalkAsCancelledLeavingNoPartialFile) {
    const std::string payload(3 * archive::max_read_block, 'p');
    const auto bytes =
        build({installer_entry::make_value("v", "1"), installer_entry::make_file("f", "p.exe", payload)});
    // Asked before each entry (tail 0, v 1, f 2, stub 6) and each block (3 to 5).
    for (unsigned at : {0u, 2u, 4u, 7u}) {
        auto r = extract(bytes, {}, nullptr, nullptr, at);
        EXPECT_EQ(r.stop_calls, std::min(at + 1, 7u));
        EXPECT_EQ(r.result.outcome == extraction_outcome::cancelled, at < 7) << at;
        EXPECT_EQ(r.complete, at == 7) << at;
        EXPECT_TRUE(r.messages.empty()) << at;
        EXPECT_EQ(r.files.empty(), at < 7) << at;
        EXPECT_EQ(r.removed, at == 4 ? std::vector<std::string>{work_dir + "p.exe"} : std::vector<std::string>{});
    }
}

TEST(Extract, MissingMarkerReportsInitializeFailure) {
    auto r = extract(std::string(4096, 'x'));
    EXPECT_EQ(r.result.outcome, extraction_outcome::no_archive_end);
    EXPECT_FALSE(r.complete);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].first, "Failed to initialize archive!");
    EXPECT_EQ(r.messages[0].second, "File: C:\\setup.exe\rError: read beyond the end of the data");
}

TEST(Extract, DigestMismatchAfterFilesWereWrittenKeepsThemAndClearsTheFlag) {
    auto bytes = build({installer_entry::make_value("v", "1"), installer_entry::make_file("f", "first.bin", "AAAA"),
                        installer_entry::make_value("damaged", "value"),
                        installer_entry::make_value("after", "never read")});
    // Reading order: tail, v, f, damaged, after. Change the key chunk of
    // "damaged".
    std::size_t at = bytes.find("damaged", stub.size());
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 0x20;  // "Value"
    auto r = extract(bytes);
    EXPECT_EQ(r.result.outcome, extraction_outcome::digest_mismatch);
    EXPECT_EQ(r.result.offset, at + 7 + 20);  // the end of the damaged chunk
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.files.at(work_dir + "first.bin"), "AAAA");
    EXPECT_EQ(*r.entries.find("v"), "1");
    EXPECT_EQ(r.entries.find("damaged"), nullptr);
    EXPECT_EQ(r.entries.find("after"), nullptr);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].first, "Invalid Archive!");
    EXPECT_EQ(r.messages[0].second, invalid_text);
}

TEST(Extract, DamagedFileDataLeavesNoPartialFile) {
    std::string payload(3 * archive::max_read_block, 'p');
    auto bytes = build({installer_entry::make_file("f", "payload.exe", payload)});
    bytes[stub.size() + 20 + 13 + 20 + 4 + 20 + 4 + 20 + payload.size() - 1] ^= 1;  // last data byte
    auto r = extract(bytes);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.result.outcome, extraction_outcome::digest_mismatch);
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.removed, std::vector<std::string>{work_dir + "payload.exe"});
    EXPECT_EQ(r.entries.find("f"), nullptr);
}

TEST(Extract, DamagedLengthFieldIsAFailureNotASuccess) {
    // The length field is outside the digest. A length reaching before the
    // start of the file ends extraction without a message, and the archive
    // counts as incomplete: it must never be launched half-read.
    auto bytes = build({installer_entry::make_value("msilog", "ON")});
    // The last chunk before the tail is the value entry's kind "value";
    // its length field sits 20 + 20 + 22 bytes before the end.
    std::size_t length_field = bytes.size() - (20 + 22) - 20;
    ASSERT_EQ(bytes.substr(length_field - 5, 5), "value");
    bytes[length_field + 3] = '\x7f';
    auto r = extract(bytes);
    EXPECT_EQ(r.result.outcome, extraction_outcome::read_failed);
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.events.size(), 1u);  // only the tail
}

// Fails every read that touches [fail_from, fail_to): an I/O error in the
// middle of the archive.
class failing_input final : public archive::seekable_input {
public:
    failing_input(const std::string& bytes, std::uint64_t fail_from, std::uint64_t fail_to)
        : bytes_(bytes), fail_from_(fail_from), fail_to_(fail_to) {}
    bool size(std::uint64_t& result) override { return bytes_.size(result); }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        if (offset < fail_to_ && offset + count > fail_from_) return false;
        return bytes_.read_at(offset, buffer, count);
    }
    std::string failure_text() override { return "I/O error"; }

private:
    archive::memory_input bytes_;
    std::uint64_t fail_from_, fail_to_;
};

TEST(Extract, FileWhoseDataFailsToReadIsRemoved) {
    // A data chunk that cannot be read for a reason other than its digest
    // ends the walk quietly, and the file created for it is removed: not left
    // empty, not left with the blocks written before the failure.
    const std::string payload(3 * archive::max_read_block, 'd');
    auto bytes = build({installer_entry::make_file("k", "data.bin", payload)});
    // File order: stub entry, data, file name, key, kind "file", tail.
    const std::size_t data_start = stub.size() + 20 + 13 + 20 + 4 + 20 + 4 + 20;
    const std::size_t data_length_field = data_start + payload.size();
    ASSERT_EQ(bytes.substr(data_length_field, 4), std::string("\0\0\x30\0", 4));
    {
        // The length field reaches before the start of the file.
        auto damaged = bytes;
        damaged[data_length_field + 3] = '\x70';
        auto r = extract(damaged);
        EXPECT_EQ(r.result.outcome, extraction_outcome::read_failed);
        EXPECT_EQ(r.result.offset, data_length_field + 20);  // the end of the unreadable chunk
        EXPECT_FALSE(r.complete);
        EXPECT_TRUE(r.messages.empty());
        EXPECT_TRUE(r.files.empty());
        EXPECT_EQ(r.removed, std::vector<std::string>{work_dir + "data.bin"});
        EXPECT_EQ(r.entries.find("k"), nullptr);
    }
    {
        // The second block of the data cannot be read, after the first was
        // written.
        failing_input input(bytes, data_start + archive::max_read_block + 5, data_start + archive::max_read_block + 6);
        archive_test::memory_output out;
        archive::entry_table entries;
        bool complete = false;
        std::vector<std::string> captions;
        archive::extraction_context context{
            input, out, [&](const std::string& caption, const std::string&) { captions.push_back(caption); },
            entries, complete, work_dir, {}, {}, {}, nullptr};
        auto result = archive::extract_entries("C:\\setup.exe", context);
        EXPECT_EQ(result.outcome, extraction_outcome::read_failed);
        EXPECT_EQ(result.offset, data_length_field + 20);
        EXPECT_FALSE(complete);
        EXPECT_TRUE(captions.empty());
        EXPECT_EQ(out.created, std::vector<std::string>{work_dir + "data.bin"});
        EXPECT_TRUE(out.files.empty());
        EXPECT_EQ(out.removed, std::vector<std::string>{work_dir + "data.bin"});
        EXPECT_EQ(entries.find("k"), nullptr);
    }
}

TEST(Extract, OnlyTheTailChunkItselfCompletesTheArchive) {
    // The last chunk ends with the marker text, so the scan finds it, but it
    // is not the tail chunk: read as an entry of an unknown kind it takes the
    // chunk before it as its key, and the walk still reaches the stub.
    auto bytes = custom([](archive::chunk_writer& w) {
        archive::write_stub_entry(w, stub, "bootstrap.exe");
        archive::write_value_entry(w, "msilog", "ON");
        w.chunk("key of the odd entry");
        w.chunk("padding " + std::string(archive::tail_marker));
    });
    auto r = extract(bytes);
    EXPECT_EQ(r.result.outcome, extraction_outcome::complete);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(*r.entries.find("msilog"), "ON");
    ASSERT_EQ(r.events.size(), 3u);
    EXPECT_EQ(r.events[0].kind, entry_event::type::other);

    // The same chain behind a real tail chunk is complete.
    auto with_tail = custom([](archive::chunk_writer& w) {
        archive::write_stub_entry(w, stub, "bootstrap.exe");
        archive::write_value_entry(w, "msilog", "ON");
        w.chunk("key of the odd entry");
        w.chunk("padding " + std::string(archive::tail_marker));
        archive::write_tail(w);
    });
    EXPECT_TRUE(extract(with_tail).complete);
}

TEST(Extract, FileEntryWithAnEmptyKeyRecordsNothing) {
    // No value entry with the empty key here, which would hide a file entry
    // that recorded its name under it.
    auto r = extract(build({installer_entry::make_file("", "nokey.bin", "data"),
                            installer_entry::make_file("named", "named.bin", "more")}));
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.entries.entries(), (std::map<std::string, std::string>{{"named", "named.bin"}}));
    EXPECT_EQ(r.files.at(work_dir + "nokey.bin"), "data");
}

TEST(Extract, RefusedFileNamesWriteNothingAndStop) {
    for (std::string name : {"", ".", "..", "..\\evil.exe", "sub/evil.exe", "C:evil", "CON", "nul.txt", "Com1.log",
                             "lpt9", "a?b", "trailing.", "name "}) {
        auto bytes = build({installer_entry::make_value("before", "1"), installer_entry::make_file("f", name, "x"),
                            installer_entry::make_value("after", "2")});
        auto r = extract(bytes);
        EXPECT_EQ(r.result.outcome, extraction_outcome::extract_failed) << name;
        EXPECT_FALSE(r.complete) << name;
        EXPECT_TRUE(r.files.empty()) << name;
        EXPECT_EQ(r.entries.find("after"), nullptr) << name;
        ASSERT_EQ(r.messages.size(), 1u) << name;
        EXPECT_EQ(r.messages[0].first, "Failed to extract file!");
        EXPECT_EQ(r.messages[0].second, "File: " + work_dir + name + "\rError: refused name");
    }
}

TEST(Extract, OutputFailuresReportTheFileRemoveItAndClearTheFlag) {
    auto bytes = build({installer_entry::make_file("a", "a.bin", "first"),
                        installer_entry::make_file("b", "b.bin", std::string(2 * archive::max_read_block, 'b')),
                        installer_entry::make_file("c", "c.bin", "third")});
    {
        archive_test::memory_output out;
        out.fail_create_path = work_dir + "b.bin";
        auto r = extract(bytes, {}, &out);
        EXPECT_EQ(r.result.outcome, extraction_outcome::extract_failed);
        EXPECT_FALSE(r.complete);
        EXPECT_EQ(r.files, (std::map<std::string, std::string>{{work_dir + "a.bin", "first"}}));
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].first, "Failed to extract file!");
        EXPECT_EQ(r.messages[0].second, "File: " + work_dir + "b.bin\rError: injected failure");
        EXPECT_EQ(out.created, (std::vector<std::string>{work_dir + "a.bin", work_dir + "b.bin"}));
    }
    {
        archive_test::memory_output out;
        out.fail_write_after = archive::max_read_block + 10;  // short write in the second block
        auto r = extract(bytes, {}, &out);
        EXPECT_EQ(r.result.outcome, extraction_outcome::extract_failed);
        EXPECT_FALSE(r.complete);
        EXPECT_EQ(r.files.count(work_dir + "b.bin"), 0u);
        EXPECT_EQ(r.removed, std::vector<std::string>{work_dir + "b.bin"});
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].second, "File: " + work_dir + "b.bin\rError: injected failure");
    }
    {
        archive_test::memory_output out;
        out.fail_close = true;
        auto r = extract(bytes, {}, &out);
        EXPECT_FALSE(r.complete);
        EXPECT_TRUE(r.files.empty());
        EXPECT_EQ(r.removed, std::vector<std::string>{work_dir + "a.bin"});
    }
}

TEST(Extract, MarkerCopyInTheTrailerStopsTheScanThere) {
    auto bytes = build({installer_entry::make_value("msilog", "ON")});
    auto intact = extract(bytes + std::string(5776, '\0'));
    EXPECT_TRUE(intact.complete);  // a trailer appended after building
    EXPECT_EQ(intact.entries.size(), 1u);

    auto r = extract(bytes + std::string(100, '\0') + std::string(archive::tail_marker) + std::string(64, '\0'));
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(r.entries.entries().empty());
}

TEST(Extract, ImageChunkIsNeverVerified) {
    auto bytes = build({installer_entry::make_value("msilog", "ON")});
    bytes[0] = 'Z';  // the image's digest no longer matches
    auto r = extract(bytes);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(*r.entries.find("msilog"), "ON");
}

TEST(FileName, BareNamesOnly) {
    for (const char* good : {"setup.exe", "a", "CONFIG.SYS", "com10", "LPT0", "console", "a..b", ".hidden",
                             "n\xe4me.exe", "nul_", "connect.dll"})
        EXPECT_TRUE(archive::is_bare_file_name(good)) << good;
    for (const char* bad : {"", ".", "..", "a\\b", "a/b", "c:", "x:y", "CON", "con", "Con.txt", "NUL.tar.gz",
                            "nul .txt", "PRN", "AUX", "COM1", "com9.txt", "LPT1", "conin$", "CONOUT$", "a*b",
                            "a|b", "a<b", "a>b", "a\"b", "tab\tname", "ends.", "ends ",
                            // Ports with a superscript digit, in code page 1252 and in UTF-8.
                            "COM\xB9", "lpt\xB2.txt", "COM\xB3", "COM\xC2\xB9", "lpt\xC2\xB2", "LPT\xC2\xB3.log"})
        EXPECT_FALSE(archive::is_bare_file_name(bad)) << bad;
    for (char control = 1; control < 0x20; ++control)
        EXPECT_FALSE(archive::is_bare_file_name(std::string("a") + control + "b")) << int(control);
    EXPECT_TRUE(archive::is_bare_file_name("\xE8\xA1\xA8.exe"));  // UTF-8 of a name with 0x5C in code page 932
}

// The commitment: the packer's seal and the walk's records agree; a change to
// any byte that the walk reads fails the run, and so does another archive
// whose chunks are each consistent (lengths and digests recomputed), which
// only the commitment tells apart.
TEST(Commitment, ASealedImageAcceptsItsOwnArchiveOnly) {
    const std::string image = archive_test::read_file(COMMIT_STUB);
    const std::vector<installer_entry> entries = {installer_entry::make_value("msilog", "ON"),
                                                  installer_entry::make_file("installer32", "setup.exe", "payload")};
    const std::string bytes = archive::build_installer(image, "stub.exe", entries);
    archive::memory_input input(bytes);
    const std::optional<archive::commitment_slot> slot = archive::find_commitment_slot(input);
    ASSERT_TRUE(slot && slot->sealed);
    const archive::pe::image headers = archive::pe::read_image(input);
    EXPECT_EQ(archive::pe::read32(bytes, headers.checksum_offset),
              archive::pe::checksum(bytes.substr(0, image.size()), headers.checksum_offset));
    const archive::md5::digest_type sealed = archive::md5(bytes.substr(0, image.size())).digest();
    EXPECT_EQ(bytes.compare(image.size() + 4, sealed.size(), reinterpret_cast<const char*>(sealed.data()), sealed.size()),
              0) << "the image chunk's digest is not that of the sealed image";
    EXPECT_EQ(extract(bytes, {}, nullptr, &slot->digest).result.outcome, extraction_outcome::complete);

    // From the stub entry's key on: the chunks that the walk reads.
    for (std::size_t at = image.size() + 20 + 8 + 20; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x20);
        EXPECT_NE(extract(changed, {}, nullptr, &slot->digest).result.outcome, extraction_outcome::complete) << at;
    }
    const std::string other = archive::build_installer(
        image, "stub.exe", {installer_entry::make_value("msilog", "OFF"), entries[1]});
    const auto spliced = extract(bytes.substr(0, image.size()) + other.substr(image.size()), {}, nullptr, &slot->digest);
    EXPECT_EQ(spliced.result.outcome, extraction_outcome::commitment_mismatch);
    EXPECT_FALSE(spliced.complete);
    EXPECT_TRUE(spliced.messages.empty());
}

TEST(Commitment, SlotsThatLookWrongAreRefused) {
    const std::string image = archive_test::read_file(COMMIT_STUB);
    // Where make-tiny-pe.py puts the slot, and the headers of .text and
    // .commit.
    const std::size_t slot = 0x400, text = 0x138, commit = 0x160;
    const struct {
        const char* what;
        std::size_t at;
        std::string bytes;
    } cases[] = {{"another magic", slot, "X"},
                 {"version 2", slot + 20, "\2"},
                 {"an unknown state", slot + 24, "\7"},
                 {"a digest in an empty slot", slot + 28, "\1"},
                 {"a reserved byte", slot + 60, "\1"},
                 {"a second section of the name", text, ".commit"},
                 {"a virtual size of 67 bytes", commit + 8, "\x43"}};
    for (const auto& c : cases) {
        std::string changed = image;
        changed.replace(c.at, c.bytes.size(), c.bytes);
        archive::memory_input input(changed);
        EXPECT_THROW(archive::find_commitment_slot(input), archive::pe::format_error) << c.what;
    }
}
