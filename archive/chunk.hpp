// The installer archive's chunk: `length` data bytes, then the length as an
// unsigned 32-bit little-endian number, then the 16-byte MD5 digest of the
// data. Chunks stand back to back from offset 0 and end with the tail chunk,
// whose data is the marker text; the archive is read from its end backward.
// Portable: no Windows headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/exception.hpp"
#include "digest/md5.hpp"
#include "digest/sha256.hpp"
#include "io/input.hpp"
#include "pe/pe_image.hpp"

namespace archive {

inline constexpr std::string_view tail_marker = "chunked-installer-tail";
// Length field and digest behind each chunk's data.
inline constexpr std::size_t chunk_overhead = 20;
// Offsets are 32-bit and moves are signed 32-bit distances in the format, so
// a chunk's data stays below 2 GiB and the whole file below 4 GiB. Larger
// ones are refused, never wrapped.
inline constexpr std::uint64_t max_chunk_length = 0x7fffffffu;
inline constexpr std::uint64_t max_archive_size = 0xffffffffu;
// A chunk's record: its length field and stored digest, the bytes behind its
// data.
using chunk_record = std::array<unsigned char, chunk_overhead>;
// The most zero bytes the signing tools put between the archive and the
// certificate table, to align the table to 8 bytes.
inline constexpr std::size_t max_table_padding = 7;

enum class chunk_status {
    ok,
    // The chunk reaches before the start of the input, is too long, or a read
    // failed or came up short.
    read_failed,
    // The data does not match the stored digest.
    digest_mismatch,
    // The consumer of a streamed chunk refused its data.
    consumer_failed,
};

// Walks the chain of chunks backward over a seekable input. Between calls the
// position stands at a chunk boundary.
class chunk_reader {
public:
    explicit chunk_reader(seekable_input& input) noexcept : input_(input) {}

    // Sets the position to the end of the tail chunk. Where the archive may
    // end is decided first (pe::find_archive_bound, kept in bound()):
    // - an input with a certificate table: the tail chunk must end where the
    //   table begins, or up to max_table_padding zero bytes before it;
    //   nothing in or behind the table is looked at;
    // - an input without one: 20 bytes past the start of the marker text
    //   nearest the end of the input. Only windows that start at offset 23
    //   or later and leave the input's last byte out count; the trailer is
    //   read in blocks and searched in memory.
    // The tail's length and digest are not checked here (the first
    // read_chunk does it). False when there is no such tail, the bound is
    // unusable, the input is below 46 bytes, its size is unknown, or it is
    // 4 GiB or larger.
    bool find_archive_end();
    const pe::archive_bound& bound() const noexcept { return bound_; }

    // From now on the record of every chunk read and verified (by either
    // read_chunk) is appended to `records`, in reading order; null stops it.
    void record_into(sha256* records) noexcept { records_ = records; }

    // Reads and verifies the chunk that ends at the position; on success the
    // data is in `data` and the position moves to the chunk's start. On
    // failure the position is unchanged. Memory use is bounded by the input's
    // size: the length is checked against the bytes before it first.
    chunk_status read_chunk(std::string& data);

    // Streams the chunk's data to `consume` in blocks of at most
    // max_read_block bytes while digesting it; the digest is compared only
    // after the last block, so the consumer sees unverified bytes and must
    // undo its work unless ok comes back. A consumer returning false stops the
    // read (consumer_failed). `length`, when given, receives the chunk's
    // length as soon as it is known. For a chunk of several blocks the
    // consumer runs on a second thread, one block at a time and in order,
    // while the next block is read and digested: it must not depend on the
    // calling thread (its own thread-local state, such as the last error, is
    // its own), and an exception it throws reaches the caller. The input is
    // then read ahead on a third thread, one read at a time, so that reading
    // a block overlaps digesting and writing the one before it.
    using consumer = std::function<bool(const char* data, std::size_t count)>;
    chunk_status read_chunk(const consumer& consume, std::uint64_t* length = nullptr);

    std::uint64_t position() const noexcept { return position_; }
    void set_position(std::uint64_t position) noexcept { position_ = position; }

private:
    // Reads the length and digest behind the data and checks the length.
    chunk_status read_header(std::uint64_t& data_start, std::uint32_t& length, md5::digest_type& digest);
    // The chunk whose header was read last has been verified: moves to its
    // start and records it.
    chunk_status accept(std::uint64_t data_start);
    bool find_end_before(std::uint64_t table_offset);

    seekable_input& input_;
    std::uint64_t position_ = 0;
    pe::archive_bound bound_;
    sha256* records_ = nullptr;
    chunk_record record_{};
};

// Raised by chunk_writer and the installer builder: a chunk or archive over
// the limits, a source that cannot be read, a sink that refuses bytes.
class pack_error : public corvid::exception {
public:
    explicit pack_error(const std::string& message) : corvid::exception(message) {
        extend_type_path("pack_error");
    }
};

// Appends chunks in file order to a byte sink.
class chunk_writer {
public:
    // Receives the file's bytes in order; returns false when it cannot take
    // them.
    using byte_sink = std::function<bool(const char* data, std::size_t count)>;
    // Told the total number of bytes written so far, during long chunks.
    using progress_callback = std::function<void(std::uint64_t written)>;

    explicit chunk_writer(byte_sink sink) : sink_(std::move(sink)) {}

    void set_progress(progress_callback progress) { progress_ = std::move(progress); }

    // One chunk holding `data`.
    void chunk(std::string_view data);
    // One chunk holding `length` bytes of `source` from `offset`, streamed in
    // blocks: the source is read once and never held whole in memory.
    void chunk_from(seekable_input& source, std::uint64_t offset, std::uint64_t length);
    // A chunk with the given length field and digest whatever its data, for
    // building damaged archives in tests.
    void raw_chunk(std::string_view data, std::uint32_t length_field, const md5::digest_type& digest);
    // Bytes with no chunk structure (a trailer, a stray marker).
    void raw_bytes(std::string_view bytes);

    std::uint64_t bytes_written() const noexcept { return written_; }
    // The record of every chunk written so far, in file order.
    const std::vector<chunk_record>& records() const noexcept { return records_; }

private:
    void put(const char* data, std::size_t count);
    void put_trailer(std::uint32_t length, const md5::digest_type& digest);

    byte_sink sink_;
    progress_callback progress_;
    std::uint64_t written_ = 0;
    std::vector<chunk_record> records_;
};

}  // namespace archive
