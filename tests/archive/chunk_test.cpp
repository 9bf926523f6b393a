#include "archive/chunk.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#if !defined(_WIN32)
#include <sys/mman.h>
#endif

#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "packing/installer_builder.hpp"

using archive::chunk_reader;
using archive::chunk_status;
using archive::memory_input;

namespace {

std::string chunk_bytes(std::string_view data) {
    std::string out;
    archive::chunk_writer w([&](const char* d, std::size_t n) {
        out.append(d, n);
        return true;
    });
    w.chunk(data);
    return out;
}

std::string le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

// The scan as a plain loop over every window, one window per byte: the
// reference the block scan must agree with.
bool reference_scan(const std::string& bytes, std::uint64_t& end) {
    if (bytes.size() < 46) return false;
    for (std::size_t s = bytes.size() - 23; s >= 23; --s)
        if (bytes.compare(s, 22, archive::tail_marker) == 0) {
            end = s + 42;
            return true;
        }
    return false;
}

// Reads through another input and notes which thread made each read, and
// whether two reads ever ran at once.
class watched_input final : public archive::seekable_input {
public:
    explicit watched_input(archive::seekable_input& inner) : inner_(inner) {}
    bool size(std::uint64_t& result) override { return inner_.size(result); }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        if (busy_.exchange(true)) overlapping = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reads.emplace_back(count, std::this_thread::get_id());
        }
        bool ok = inner_.read_at(offset, buffer, count);
        busy_ = false;
        return ok;
    }
    std::string failure_text() override { return inner_.failure_text(); }

    std::vector<std::pair<std::size_t, std::thread::id>> reads;
    std::atomic<bool> overlapping{false};

private:
    archive::seekable_input& inner_;
    std::atomic<bool> busy_{false};
    std::mutex mutex_;
};

// Counts what is read, and can pretend to be larger than the bytes it holds
// (reads beyond them give zero bytes).
class sparse_input final : public archive::seekable_input {
public:
    sparse_input(std::uint64_t size, std::string tail) : size_(size), tail_(std::move(tail)) {}
    bool size(std::uint64_t& result) override {
        result = size_;
        return true;
    }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        bytes_read += count;
        largest_read = std::max(largest_read, count);
        if (offset + count > size_) return false;
        auto out = static_cast<char*>(buffer);
        std::uint64_t tail_start = size_ - tail_.size();
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t at = offset + i;
            out[i] = at >= tail_start ? tail_[at - tail_start] : '\0';
        }
        return true;
    }
    std::string failure_text() override { return "beyond the end"; }

    std::uint64_t bytes_read = 0;
    std::size_t largest_read = 0;

private:
    std::uint64_t size_;
    std::string tail_;
};

}  // namespace

TEST(ChunkReader, WalksBackwardThroughChunksIncludingEmptyOnes) {
    std::string bytes = chunk_bytes("first") + chunk_bytes("") + chunk_bytes("third");
    memory_input in(bytes);
    chunk_reader r(in);
    r.set_position(bytes.size());
    std::string data = "junk";
    ASSERT_EQ(r.read_chunk(data), chunk_status::ok);
    EXPECT_EQ(data, "third");
    ASSERT_EQ(r.read_chunk(data), chunk_status::ok);
    EXPECT_EQ(data, "");
    ASSERT_EQ(r.read_chunk(data), chunk_status::ok);
    EXPECT_EQ(data, "first");
    EXPECT_EQ(r.position(), 0u);
    EXPECT_EQ(r.read_chunk(data), chunk_status::read_failed);  // nothing before the start
}

TEST(ChunkReader, ChecksLengthAndDigest) {
    std::string good = chunk_bytes("payload");
    {
        std::string bad = good;
        bad[2] ^= 1;  // data
        memory_input in(bad);
        chunk_reader r(in);
        r.set_position(bad.size());
        std::string data;
        EXPECT_EQ(r.read_chunk(data), chunk_status::digest_mismatch);
        EXPECT_EQ(r.position(), bad.size());
    }
    {
        std::string bad = good;
        bad[bad.size() - 1] ^= 0x80;  // digest
        memory_input in(bad);
        chunk_reader r(in);
        r.set_position(bad.size());
        std::string data;
        EXPECT_EQ(r.read_chunk(data), chunk_status::digest_mismatch);
    }
    {
        // A length that reaches one byte before the start of the input.
        std::string bad = good.substr(0, 7) + le32(8) + good.substr(11);
        memory_input in(bad);
        chunk_reader r(in);
        r.set_position(bad.size());
        std::string data;
        EXPECT_EQ(r.read_chunk(data), chunk_status::read_failed);
    }
    {
        // Fewer than 20 bytes before the position; a position beyond the end.
        memory_input in(good);
        chunk_reader r(in);
        std::string data;
        r.set_position(19);
        EXPECT_EQ(r.read_chunk(data), chunk_status::read_failed);
        r.set_position(good.size() + 1);
        EXPECT_EQ(r.read_chunk(data), chunk_status::read_failed);
    }
}

TEST(ChunkReader, RefusesChunksOf2GiBWithoutReadingThem) {
    // A 3 GiB input whose last chunk claims 2 GiB of data: refused as a
    // failed read after the 20 trailer bytes, never by reading or wrapping.
    for (std::uint32_t length : {0x80000000u, 0xffffffffu}) {
        std::string tail = le32(length) + std::string(16, '\x11');
        sparse_input in(3ull << 30, tail);
        chunk_reader r(in);
        r.set_position(3ull << 30);
        std::string data;
        EXPECT_EQ(r.read_chunk(data), chunk_status::read_failed);
        EXPECT_EQ(r.read_chunk([](const char*, std::size_t) { return true; }), chunk_status::read_failed);
        EXPECT_LE(in.bytes_read, 40u);
    }
}

TEST(ChunkReader, StreamsLargeChunksInBoundedBlocks) {
    std::string data(3 * archive::max_read_block + 12345, '\0');
    std::mt19937 rng(7);
    for (char& c : data) c = static_cast<char>(rng());
    std::string bytes = chunk_bytes(data);
    memory_input in(bytes);
    chunk_reader r(in);
    r.set_position(bytes.size());
    std::string received;
    std::size_t largest = 0;
    std::uint64_t length = 0;
    ASSERT_EQ(r.read_chunk(
                  [&](const char* d, std::size_t n) {
                      largest = std::max(largest, n);
                      received.append(d, n);
                      return true;
                  },
                  &length),
              chunk_status::ok);
    EXPECT_EQ(received, data);
    EXPECT_EQ(length, data.size());
    EXPECT_LE(largest, archive::max_read_block);
    EXPECT_EQ(r.position(), 0u);

    // A consumer that refuses stops the read.
    r.set_position(bytes.size());
    EXPECT_EQ(r.read_chunk([](const char*, std::size_t) { return false; }), chunk_status::consumer_failed);
}

namespace {

// Reads that touch one given byte fail.
class failing_input final : public archive::seekable_input {
public:
    failing_input(const std::string& bytes, std::uint64_t bad_byte) : memory_(bytes), bad_byte_(bad_byte) {}
    bool size(std::uint64_t& result) override {
        return memory_.size(result);
    }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        if (offset <= bad_byte_ && bad_byte_ < offset + count) return false;
        return memory_.read_at(offset, buffer, count);
    }
    std::string failure_text() override {
        return "failed on purpose";
    }

private:
    memory_input memory_;
    std::uint64_t bad_byte_;
};

}  // namespace

// A chunk of several blocks reaches its consumer while the next block is read
// and digested; what the consumer sees and what the read returns must be
// exactly what a block-by-block read gives.
TEST(ChunkReader, StreamedChunkOfSeveralBlocksKeepsItsOutcomes) {
    std::string data(4 * archive::max_read_block + 77, '\0');
    std::mt19937 rng(11);
    for (char& c : data) c = static_cast<char>(rng());
    const std::string bytes = chunk_bytes(data);
    std::string received;
    auto collect = [&](const char* d, std::size_t n) {
        received.append(d, n);
        return true;
    };

    {  // Every block reaches the consumer on one second thread.
        memory_input in(bytes);
        chunk_reader r(in);
        r.set_position(bytes.size());
        std::set<std::thread::id> threads;
        received.clear();
        EXPECT_EQ(r.read_chunk([&](const char* d, std::size_t n) {
            threads.insert(std::this_thread::get_id());
            return collect(d, n);
        }),
                  chunk_status::ok);
        EXPECT_TRUE(received == data) << received.size() << " bytes";
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    }
    {  // The blocks are read ahead on a thread other than the caller's, one
       // read at a time; only the length and digest are read by the caller.
        memory_input bytes_in(bytes);
        watched_input in(bytes_in);
        chunk_reader r(in);
        r.set_position(bytes.size());
        received.clear();
        EXPECT_EQ(r.read_chunk(collect), chunk_status::ok);
        EXPECT_TRUE(received == data) << received.size() << " bytes";
        EXPECT_FALSE(in.overlapping);
        std::size_t block_reads = 0;
        for (const auto& [count, thread] : in.reads) {
            if (count == archive::chunk_overhead) continue;
            ++block_reads;
            EXPECT_NE(thread, std::this_thread::get_id()) << "a block of " << count << " bytes";
        }
        EXPECT_EQ(block_reads, 5u);
    }
    // Refusals and failed reads: the read's result, and the blocks offered
    // (in order, none after a refusal or a failed read). A refusal is
    // reported even for the last block, and wins over a failed read of the
    // block after it, which was already under way.
    const std::size_t block = archive::max_read_block;
    const std::uint64_t readable = UINT64_MAX;
    const struct {
        std::size_t refused;     // the block (from 1) the consumer refuses; 0 for none
        std::uint64_t bad_byte;  // reads that touch it fail
        chunk_status status;
        std::size_t offered;
    } stops[] = {
        {2, readable, chunk_status::consumer_failed, 2},
        {5, readable, chunk_status::consumer_failed, 5},
        {2, 2 * block + 10, chunk_status::consumer_failed, 2},
        {0, 3 * block + 10, chunk_status::read_failed, 3},
    };
    for (const auto& stop : stops) {
        failing_input in(bytes, stop.bad_byte);
        chunk_reader r(in);
        r.set_position(bytes.size());
        received.clear();
        std::size_t offered = 0;
        chunk_status status = r.read_chunk([&](const char* d, std::size_t n) {
            collect(d, n);
            return ++offered != stop.refused;
        });
        const std::string row = "refused " + std::to_string(stop.refused) + ", bad byte " + std::to_string(stop.bad_byte);
        EXPECT_EQ(status, stop.status) << row;
        EXPECT_EQ(offered, stop.offered) << row;
        EXPECT_TRUE(received == data.substr(0, std::min(stop.offered * block, data.size()))) << row;
        EXPECT_EQ(r.position(), bytes.size()) << row;
    }
    {  // An exception of the consumer reaches the caller, and ends the read.
        memory_input in(bytes);
        chunk_reader r(in);
        r.set_position(bytes.size());
        int calls = 0;
        auto throwing = [&](const char*, std::size_t) -> bool {
            if (++calls == 3) throw std::runtime_error("disk on fire");
            return true;
        };
        EXPECT_THROW(r.read_chunk(throwing), std::runtime_error);
        EXPECT_EQ(calls, 3);
        EXPECT_EQ(r.position(), bytes.size());
    }
    {  // A changed byte in the last block: every block consumed, then the
       // mismatch.
        std::string damaged = bytes;
        damaged[data.size() - 5] ^= 0x10;
        memory_input in(damaged);
        chunk_reader r(in);
        r.set_position(damaged.size());
        received.clear();
        EXPECT_EQ(r.read_chunk(collect), chunk_status::digest_mismatch);
        EXPECT_TRUE(received == damaged.substr(0, data.size())) << received.size() << " bytes";
        EXPECT_EQ(r.position(), damaged.size());
    }
}

TEST(FindArchiveEnd, WindowLimits) {
    const std::string marker(archive::tail_marker);
    std::uint64_t end = 0;
    auto scan = [&](const std::string& bytes) {
        memory_input in(bytes);
        chunk_reader r(in);
        bool found = r.find_archive_end();
        end = r.position();
        return found;
    };
    // Lowest window at 23, and the last byte is never part of a window.
    EXPECT_TRUE(scan(std::string(23, 'x') + marker + "y"));
    EXPECT_EQ(end, 23u + 42u);
    EXPECT_FALSE(scan(std::string(22, 'x') + marker + "yy"));    // marker at 22
    EXPECT_FALSE(scan(std::string(23, 'x') + marker));           // touches the last byte
    // The upper limit holds for inputs long enough to be scanned at all, in
    // the first block and beyond it.
    EXPECT_FALSE(scan(std::string(24, 'x') + marker));           // 46 bytes
    EXPECT_TRUE(scan(std::string(24, 'x') + marker + "y"));
    EXPECT_FALSE(scan(std::string(200000, 'x') + marker));
    EXPECT_TRUE(scan(std::string(200000, 'x') + marker + "y"));
    EXPECT_EQ(end, 200000u + 42u);
    EXPECT_FALSE(scan(std::string(22, 'x') + marker + "y"));     // 45 bytes
    EXPECT_FALSE(scan(std::string(45, 'x')));
    EXPECT_FALSE(scan(""));
    // The copy nearest the end wins.
    EXPECT_TRUE(scan(std::string(30, 'x') + marker + "abc" + marker + "zz"));
    EXPECT_EQ(end, 30u + 22 + 3 + 42);
}

TEST(FindArchiveEnd, AgreesWithTheOneWindowPerByteScan) {
    // Markers near the 64 KiB block boundaries of the trailer scan, and
    // partial markers that must not match.
    const std::string marker(archive::tail_marker);
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        std::size_t size = 46 + rng() % (200 * 1024);
        std::string bytes(size, 'a');
        for (char& c : bytes) c = static_cast<char>('a' + rng() % 3);
        std::size_t places = rng() % 3;
        for (std::size_t i = 0; i < places; ++i) {
            std::size_t at;
            if (rng() % 2 && size > 65536 + 40) {
                at = size - 1 - 65536 + (rng() % 44) - 22;  // around the first block edge
            } else {
                at = rng() % (size - 21);
            }
            std::size_t keep = rng() % 4 == 0 ? rng() % 22 : 22;  // sometimes only a prefix
            bytes.replace(at, keep, marker.substr(0, keep));
        }
        bytes.resize(size);
        std::uint64_t expected = 0;
        bool expected_found = reference_scan(bytes, expected);
        memory_input in(bytes);
        chunk_reader r(in);
        ASSERT_EQ(r.find_archive_end(), expected_found) << "round " << round;
        if (expected_found) {
            ASSERT_EQ(r.position(), expected) << "round " << round;
        }
    }
}

TEST(FindArchiveEnd, RefusesInputsOf4GiB) {
    // A tail at the very end of a 4 GiB input is not taken: offsets are 32-bit.
    std::string tail = chunk_bytes(archive::tail_marker) + "z";
    sparse_input big(1ull << 32, tail);
    EXPECT_FALSE(chunk_reader(big).find_archive_end());
    EXPECT_LE(big.bytes_read, 0u);
    sparse_input below((1ull << 32) - 1, tail);
    chunk_reader r(below);
    ASSERT_TRUE(r.find_archive_end());
    EXPECT_EQ(r.position(), (1ull << 32) - 2);
    EXPECT_LE(below.largest_read, archive::max_read_block);
}

TEST(ChunkWriter, RefusesOversizedChunksAndArchives) {
    std::uint64_t written = 0;
    archive::chunk_writer w([&](const char*, std::size_t n) {
        written += n;
        return true;
    });
    sparse_input huge(archive::max_chunk_length + 1, "");
    EXPECT_THROW(w.chunk_from(huge, 0, archive::max_chunk_length + 1), archive::pack_error);
    EXPECT_EQ(written, 0u);

    archive::chunk_writer failing([](const char*, std::size_t) { return false; });
    EXPECT_THROW(failing.chunk("x"), archive::pack_error);
}

// The 4 GiB of zeros come from an anonymous mapping reserved without memory,
// which this host-only test takes from POSIX.
#if !defined(_WIN32)
TEST(ChunkWriter, RefusesToPassFourGiBWhateverTheWrites) {
    // The writer keeps the limit itself, for every kind of write and without
    // help from the packer's up-front check. The bytes before the limit come
    // from untouched anonymous memory: the sink only counts them.
    const std::size_t reserved = std::size_t(archive::max_archive_size) + 1;
    void* mapped = mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const char* zeros = static_cast<const char*>(mapped);
    std::uint64_t taken = 0;
    auto counting = [&](const char*, std::size_t n) {
        taken += n;
        return true;
    };
    {
        // Up to the last byte below 4 GiB is fine; one byte more is refused.
        archive::chunk_writer w(counting);
        w.raw_bytes(std::string_view(zeros, archive::max_archive_size - 21));
        w.chunk("x");
        EXPECT_EQ(w.bytes_written(), archive::max_archive_size);
        EXPECT_THROW(w.raw_bytes("y"), archive::pack_error);
        EXPECT_THROW(w.chunk(""), archive::pack_error);
        EXPECT_EQ(w.bytes_written(), archive::max_archive_size);
    }
    {
        // A chunk whose trailer would pass the limit is refused.
        archive::chunk_writer w(counting);
        w.raw_bytes(std::string_view(zeros, archive::max_archive_size - 20));
        EXPECT_THROW(w.chunk("x"), archive::pack_error);
        EXPECT_THROW(w.raw_chunk("ab", 2, archive::md5("ab").digest()), archive::pack_error);
    }
    // A streamed chunk whose data or trailer would pass the limit is refused
    // before its source is read; one that ends exactly at it is written.
    const struct {
        std::uint64_t before, length;
        bool refused;
    } streamed[] = {
        {std::uint64_t(3) << 30, std::uint64_t(1) << 30, true},
        {archive::max_archive_size - 119, 100, true},  // only the trailer's last byte passes
        {archive::max_archive_size - 120, 100, false},
    };
    for (const auto& c : streamed) {
        archive::chunk_writer w(counting);
        w.raw_bytes(std::string_view(zeros, static_cast<std::size_t>(c.before)));
        sparse_input source(c.length, "");
        if (c.refused) {
            EXPECT_THROW(w.chunk_from(source, 0, c.length), archive::pack_error) << c.before;
            EXPECT_EQ(source.bytes_read, 0u) << c.before;
            EXPECT_EQ(w.bytes_written(), c.before);
        } else {
            EXPECT_NO_THROW(w.chunk_from(source, 0, c.length));
            EXPECT_EQ(w.bytes_written(), archive::max_archive_size);
        }
    }
    munmap(mapped, reserved);
}
#endif
