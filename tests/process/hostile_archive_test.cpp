// Damaged and hostile installers, run as a user would run them: every run
// either ends with 1 without starting the payload, or is the intact run
// exactly; the payload never starts from damaged bytes, nothing is written
// outside the working directory, and the working directory is gone after
// the run.
//
// The CTest run takes a deterministic subset. With the environment variable
// BOOTSTRAP_HOSTILE_SWEEP=full the sweep covers every truncation point of the
// last 4 KiB and every byte of the archive outside the payload's data too;
// with =short (the 32-bit build's CTest run, where every process start is
// emulated and costs several times as much) about a third of the subset.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <tuple>

#include "archive/chunk.hpp"
#include "corvid/win32.hpp"
#include "packing/installer_builder.hpp"
#include "tests/process/harness.hpp"
#include "tests/support/scratch_dir.hpp"

using process_test::installer_fixture;

namespace {

const std::uint32_t probe_exit = 7;

bool sweep_is(const char* wanted) {
    const char* mode = std::getenv("BOOTSTRAP_HOSTILE_SWEEP");
    return mode && std::string(mode) == wanted;
}
bool full_sweep() { return sweep_is("full"); }
bool short_sweep() { return sweep_is("short"); }

std::string fnv_hash(const std::string& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// One chunk of the intact archive as the backward walk meets it.
struct chunk_span {
    std::uint64_t data_start;
    std::uint64_t end;  // the length field lies at end - 20
};

class archive_input final : public archive::seekable_input {
public:
    explicit archive_input(const std::string& bytes) : memory_(bytes) {}
    bool size(std::uint64_t& result) override { return memory_.size(result); }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        return memory_.read_at(offset, buffer, count);
    }
    std::string failure_text() override { return memory_.failure_text(); }

private:
    archive::memory_input memory_;
};

// The chunks that extraction reads, from the tail back to the stub's key
// chunk, plus the stub's file name and image chunks that it never reads.
std::vector<chunk_span> walk(const std::string& bytes) {
    archive_input input(bytes);
    archive::chunk_reader reader(input);
    std::vector<chunk_span> spans;
    if (!reader.find_archive_end()) return spans;
    std::string data;
    for (;;) {
        std::uint64_t end = reader.position();
        if (reader.read_chunk(data) != archive::chunk_status::ok) break;
        spans.push_back({reader.position(), end});
        if (reader.position() == 0) break;
    }
    return spans;
}

class HostileArchive : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixture_ = new installer_fixture("hostile");
        installer_ = fixture_->pack({{"msilog", "ON"}, {"parameters", "/V\"A=1 B=1 \""}});
        intact_ = process_test::read_all(installer_);
        stub_size_ = process_test::read_all(process_test::bin_dir() + "bootstrapper.exe").size();
        probe_ = process_test::read_all(process_test::bin_dir() + "probe.exe");
    }
    static void TearDownTestSuite() {
        delete fixture_;
        fixture_ = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(intact_.empty());
        // The image chunk is the stub's image, sealed: as long as the stub.
        ASSERT_EQ(archive::pe::read32(intact_, stub_size_), stub_size_);
        if (intact_report_.empty()) {
            run_bytes(intact_);
            intact_report_ = normalised(fixture_->report());
            ASSERT_EQ(intact_exit_, probe_exit);
            ASSERT_EQ(intact_report_["image"], fnv_hash(probe_)) << "the intact run did not start the probe";
        }
    }

    // The report with the working directory's seconds taken out.
    static std::map<std::string, std::string> normalised(std::map<std::string, std::string> report) {
        static const std::regex seconds(R"(\\ZELT-?[0-9]+\\)");
        for (auto& [key, value] : report) value = std::regex_replace(value, seconds, "\\ZELT#\\");
        return report;
    }

    // Runs the installer holding `bytes`; returns the exit code (0xDEAD when
    // the run did not end within a minute).
    std::uint32_t run_bytes(const std::string& bytes) {
        process_test::write_all(installer_, bytes);
        ::DeleteFileA(fixture_->report_path().c_str());
        auto result = fixture_->run(installer_, "/s", probe_exit);
        if (!result.finished) return 0xDEAD;
        if (&bytes == &intact_) intact_exit_ = result.exit_code;
        return result.exit_code;
    }

    // Runs the installer written as `head`, `hole` sparse zero bytes and
    // `tail`, like run_bytes.
    std::uint32_t run_sparse(const std::string& head, std::uint64_t hole, const std::string& tail) {
        if (!test_support::write_sparse_file(installer_, head, hole, tail))
            throw std::runtime_error("cannot write " + installer_ + " (" + std::to_string(::GetLastError()) + ")");
        ::DeleteFileA(fixture_->report_path().c_str());
        auto result = fixture_->run(installer_, "/s", probe_exit);
        return result.finished ? result.exit_code : 0xDEAD;
    }

    // The intact installer with `hole` bytes added at the end of the stub's
    // image chunk, whose data the bootstrapper never reads (it is the
    // running program), and the chunk's length field grown to match: every
    // chunk that a run reads lies `hole` bytes further on. Returns the part
    // before and the part after the hole.
    static std::pair<std::string, std::string> grown_stub(std::uint64_t hole) {
        std::string after = intact_.substr(stub_size_);
        const std::uint64_t length = stub_size_ + hole;
        for (int i = 0; i < 4; ++i) after[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return {intact_.substr(0, stub_size_), after};
    }

    // Runs one variant and checks every promise of a hostile run; `what`
    // names the variant in failure messages.
    void expect_orderly(const std::string& bytes, const std::string& what) {
        std::uint32_t code = run_bytes(bytes);
        auto report = fixture_->report();
        if (code == 1) {
            EXPECT_TRUE(report.empty()) << what << ": the payload started, yet the run ended with 1";
        } else {
            EXPECT_EQ(code, probe_exit) << what;
            EXPECT_EQ(normalised(report), intact_report_) << what << ": the run differs from the intact one";
        }
        if (!report.empty()) {
            EXPECT_EQ(report["image"], fnv_hash(probe_)) << what << ": payload started from damaged bytes";
        }
        expect_nothing_left(what);
    }

    // The private temp directory holds the logs (and the probe's report) only,
    // the packing folder the installer only, and nothing escaped elsewhere.
    void expect_nothing_left(const std::string& what) {
        for (const std::string& name : fixture_->temp_entries()) {
            bool allowed = name.rfind("Keelson", 0) == 0 || name == "KAVRO_msi.log.txt" || name == "probe-report.txt";
            EXPECT_TRUE(allowed) << what << ": left in the temp directory: " << name;
        }
        const std::vector<std::string> beside = test_support::names_in(fixture_->work());
        ASSERT_FALSE(beside.empty()) << what << ": the installer's folder cannot be listed";
        for (const std::string& name : beside)
            EXPECT_EQ(name, "setup.exe") << what << ": left beside the installer";
        for (const std::string& escaped : {std::string("C:\\evil.exe"), process_test::bin_dir() + "evil.exe",
                                           fixture_->temp() + "evil.exe", fixture_->temp() + "a"}) {
            EXPECT_EQ(::GetFileAttributesA(escaped.c_str()), INVALID_FILE_ATTRIBUTES) << what << ": " << escaped;
            ::DeleteFileA(escaped.c_str());
        }
    }

    static installer_fixture* fixture_;
    static std::string installer_;
    static std::string intact_;
    static std::string probe_;
    static std::size_t stub_size_;
    static std::map<std::string, std::string> intact_report_;
    static std::uint32_t intact_exit_;
};

installer_fixture* HostileArchive::fixture_ = nullptr;
std::string HostileArchive::installer_;
std::string HostileArchive::intact_;
std::string HostileArchive::probe_;
std::size_t HostileArchive::stub_size_ = 0;
std::map<std::string, std::string> HostileArchive::intact_report_;
std::uint32_t HostileArchive::intact_exit_ = 0;

}  // namespace

TEST_F(HostileArchive, TruncationsWithinTheLastFourKilobytes) {
    // Every cut of the last 64 bytes (the tail chunk and the last value),
    // every 8th up to 512 (the other entries), every 256th up to 4 KiB (the
    // payload's data).
    // The short sweep: every cut of the tail chunk, every 8th up to 64, every
    // 64th up to 512, every 1024th.
    std::set<std::size_t> cuts;
    for (std::size_t k = 1; k <= 4096; ++k)
        if (short_sweep() ? k <= 42 || (k <= 64 && k % 8 == 0) || (k <= 512 && k % 64 == 0) || k % 1024 == 0
                          : full_sweep() || k <= 64 || (k <= 512 && k % 8 == 0) || k % 256 == 0)
            cuts.insert(k);
    for (std::size_t k : cuts) {
        expect_orderly(intact_.substr(0, intact_.size() - k), "cut " + std::to_string(k));
        if (HasFailure()) return;
    }
}

TEST_F(HostileArchive, SeededSingleByteChangesAcrossTheArchive) {
    // The archive region: everything behind the stub's image, whose bytes are
    // the running program itself. Half of the changes fall anywhere in it
    // (mostly the payload's data, by its size), half on the bytes that are
    // not the payload's data: lengths, digests, names, keys, values, kinds
    // and the tail.
    std::vector<chunk_span> spans = walk(intact_);
    std::uint64_t payload_start = 0, payload_end = 0;
    for (const chunk_span& s : spans)
        if (s.end - s.data_start - archive::chunk_overhead == probe_.size()) {
            payload_start = s.data_start;
            payload_end = s.end - archive::chunk_overhead;
        }
    ASSERT_NE(payload_end, 0u);
    std::vector<std::size_t> structure;
    for (std::size_t at = stub_size_; at < intact_.size(); ++at)
        if (at < payload_start || at >= payload_end) structure.push_back(at);

    std::mt19937 random(20240611u);
    std::uniform_int_distribution<std::size_t> anywhere(stub_size_, intact_.size() - 1);
    std::uniform_int_distribution<std::size_t> in_structure(0, structure.size() - 1);
    std::uniform_int_distribution<int> flip(1, 255);
    std::set<std::size_t> changed;
    const int changes = short_sweep() ? 40 : 300;
    for (int i = 0; i < changes; ++i) {
        std::string bytes = intact_;
        std::size_t at = i % 2 == 0 ? anywhere(random) : structure[in_structure(random)];
        changed.insert(at);
        bytes[at] = static_cast<char>(bytes[at] ^ flip(random));
        expect_orderly(bytes, "byte " + std::to_string(at));
        if (HasFailure()) return;
    }
    if (!full_sweep()) return;

    // Every byte that is not the payload's data.
    for (std::size_t at : structure) {
        if (changed.count(at)) continue;
        std::string bytes = intact_;
        bytes[at] = static_cast<char>(bytes[at] ^ 0xA5);
        expect_orderly(bytes, "byte " + std::to_string(at));
        if (HasFailure()) return;
    }
}

TEST_F(HostileArchive, HugeLengthFieldsInEveryChunk) {
    std::vector<chunk_span> spans = walk(intact_);
    // Tail, three value entries, the file entry, the stub's kind and key, its
    // file name and image.
    ASSERT_EQ(spans.size(), 1u + 3 * 3 + 4 + 4);
    // The short sweep keeps the length whose sum with the field's own four
    // bytes wraps to 3 in 32-bit arithmetic.
    const std::vector<std::uint32_t> lengths =
        short_sweep() ? std::vector<std::uint32_t>{0xFFFFFFFFu} : std::vector<std::uint32_t>{0x7FFFFFFFu, 0xFFFFFFFFu};
    for (const chunk_span& s : spans) {
        for (std::uint32_t length : lengths) {
            std::string bytes = intact_;
            std::size_t field = static_cast<std::size_t>(s.end - archive::chunk_overhead);
            for (int i = 0; i < 4; ++i) bytes[field + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
            char what[64];
            std::snprintf(what, sizeof(what), "length 0x%08X at %zu", static_cast<unsigned>(length), field);
            expect_orderly(bytes, what);
            if (HasFailure()) return;
        }
    }
}

TEST_F(HostileArchive, FileNamesThatLeaveTheWorkingDirectoryAreRefused) {
    const std::string stub = intact_.substr(0, stub_size_);
    for (const std::string name : {"..\\evil.exe", "..\\..\\evil.exe", "../evil.exe", "C:\\evil.exe",
                                   "\\\\?\\C:\\evil.exe", "CON", "con.exe", "a:b", "evil.exe:stream", "evil.exe."}) {
        std::string bytes = archive::build_installer(
            stub, "bootstrapper.exe",
            {archive::installer_entry::make_value("executable32", "%installer32%"),
             archive::installer_entry::make_file("installer32", name, probe_)});
        EXPECT_EQ(run_bytes(bytes), 1u) << name;
        EXPECT_TRUE(fixture_->report().empty()) << name << ": the payload started";
        expect_nothing_left("name " + name);
    }
}

// Positions in the file are 32-bit and moves are signed 32-bit distances: a
// file must stay below 4 GiB and a chunk below 2 GiB. In the 32-bit build the
// process's own integers are 32-bit too; nothing may wrap. Wine starts no
// executable whose size, rounded up to 512 bytes, reaches 4 GiB (error 193),
// so a run of a larger installer never reaches the bootstrapper; the
// extraction's own refusal of such files is tested in the archive tests.
TEST_F(HostileArchive, FileAndChunkSizesAtTheirLimits) {
    const std::uint64_t largest_startable = (1ull << 32) - 512;
    const std::uint64_t intact_size = intact_.size();

    // The largest installer that can be started runs like the intact one:
    // its chunks are read from offsets near 4 GiB.
    auto [head, tail] = grown_stub(largest_startable - intact_size);
    EXPECT_EQ(run_sparse(head, largest_startable - intact_size, tail), probe_exit) << "file of 4 GiB - 512 bytes";
    EXPECT_EQ(normalised(fixture_->report()), intact_report_) << "file of 4 GiB - 512 bytes";
    expect_nothing_left("file of 4 GiB - 512 bytes");

    // A payload chunk whose length field says 2 GiB, in a file large enough
    // to hold it, is refused before anything is read or written.
    std::vector<chunk_span> spans = walk(intact_);
    std::uint64_t payload_field = 0;
    for (const chunk_span& s : spans)
        if (s.end - s.data_start - archive::chunk_overhead == probe_.size()) payload_field = s.end - archive::chunk_overhead;
    ASSERT_GT(payload_field, stub_size_);
    const std::uint64_t hole = (1ull << 31) + (1ull << 20);
    std::tie(head, tail) = grown_stub(hole);
    const std::size_t field = static_cast<std::size_t>(payload_field - stub_size_);
    for (int i = 0; i < 4; ++i) tail[field + i] = static_cast<char>(i == 3 ? 0x80 : 0x00);
    EXPECT_EQ(run_sparse(head, hole, tail), 1u) << "chunk of 2 GiB";
    EXPECT_TRUE(fixture_->report().empty()) << "chunk of 2 GiB: the payload started";
    expect_nothing_left("chunk of 2 GiB");
}

// Signed as the README shows, then a second archive planted inside the
// certificate table (its entry and the directory grown to match, which the
// signature does not cover: it still verifies) or behind it; and the signed
// image put in front of another archive. The run reads the archive in front
// of the table and checks it against the image's commitment: the genuine
// payload runs or the run ends with 1, the planted one never starts.
TEST_F(HostileArchive, ArchivesPlantedBesideTheSignedImageNeverRun) {
    test_support::scratch_dir dir("signing");
    const std::string planted_path = fixture_->pack({{"parameters", "/V\"PLANTED=1 \""}}, "planted.exe");
    const std::string planted = process_test::read_all(planted_path);
    ::DeleteFileA(planted_path.c_str());
    process_test::write_all(dir.path() + "setup.exe", intact_);
    const std::string sign = "cd '" + test_support::unix_path(dir.path()) +
                             "' && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test -keyout k.pem "
                             "-out c.pem && osslsigncode sign -certs c.pem -key k.pem -h sha256 -in setup.exe -out "
                             "signed.exe";
    ASSERT_EQ(process_test::run_shell(sign + " >/dev/null 2>&1", dir.path()), 0) << "osslsigncode cannot sign";
    const std::string signed_bytes = process_test::read_all(dir.path() + "signed.exe");
    archive::memory_input input(signed_bytes);
    const std::uint32_t directory = archive::pe::read_image(input).directory_offset(archive::pe::security_directory);
    const std::uint32_t table = archive::pe::read32(signed_bytes, directory);

    std::string in_table = signed_bytes + planted + std::string((8 - planted.size() % 8) % 8, '\0');
    const std::uint32_t grown = static_cast<std::uint32_t>(in_table.size() - signed_bytes.size());
    archive::pe::write32(in_table, table, archive::pe::read32(in_table, table) + grown);
    archive::pe::write32(in_table, directory + 4, archive::pe::read32(in_table, directory + 4) + grown);
    process_test::write_all(dir.path() + "in_table.exe", in_table);
    ASSERT_EQ(process_test::run_shell("cd '" + test_support::unix_path(dir.path()) +
                                          "' && osslsigncode verify -CAfile c.pem -in in_table.exe >/dev/null 2>&1",
                                      dir.path()),
              0)
        << "the grown certificate table no longer verifies: the test shows nothing";

    for (const auto& [bytes, what] : {std::pair(signed_bytes, "signed"),
                                      std::pair(in_table, "an archive in the certificate table"),
                                      std::pair(signed_bytes + planted, "an archive behind the certificate table")}) {
        expect_orderly(bytes, what);
        EXPECT_FALSE(fixture_->report().empty()) << what << ": the genuine payload did not run";
    }
    EXPECT_EQ(run_bytes(intact_.substr(0, stub_size_) + planted.substr(stub_size_)), 1u) << "another archive";
    EXPECT_TRUE(fixture_->report().empty()) << "the image started an archive it was not sealed for";
}
