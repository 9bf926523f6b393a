#include "archive/chunk.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace archive {

namespace {

// Blocks in which the trailer is searched for the marker.
constexpr std::size_t scan_block = 64 * 1024;
// A window starts at 23 or later and the input's last byte is in none.
constexpr std::uint64_t first_window = 23;

std::uint32_t little_endian32(const unsigned char* bytes) noexcept {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace

bool chunk_reader::find_archive_end() {
    std::uint64_t size = 0;
    if (!input_.size(size) || size > max_archive_size) return false;
    if (size < first_window + tail_marker.size() + 1) return false;

    // Windows [s, s + 22) with first_window <= s <= size - 23. Blocks overlap
    // by 21 bytes so that no window falls between two of them.
    std::vector<char> block(scan_block);
    std::uint64_t end = size - 1;
    for (;;) {
        std::uint64_t begin = end - first_window >= scan_block ? end - scan_block : first_window;
        std::size_t count = static_cast<std::size_t>(end - begin);
        // A block that cannot be read counts as one without the marker.
        if (input_.read_at(begin, block.data(), count)) {
            std::string_view text(block.data(), count);
            std::size_t at = text.rfind(tail_marker);
            if (at != std::string_view::npos) {
                position_ = begin + at + tail_marker.size() + chunk_overhead;
                return true;
            }
        }
        if (begin == first_window) return false;
        end = begin + tail_marker.size() - 1;
    }
}

chunk_status chunk_reader::read_header(std::uint64_t& data_start, std::uint32_t& length,
                                       md5::digest_type& digest) {
    if (position_ < chunk_overhead) return chunk_status::read_failed;
    unsigned char trailer[chunk_overhead];
    if (!input_.read_at(position_ - chunk_overhead, trailer, sizeof trailer)) return chunk_status::read_failed;
    length = little_endian32(trailer);
    std::copy(trailer + 4, trailer + chunk_overhead, digest.begin());
    if (length > max_chunk_length || length > position_ - chunk_overhead) return chunk_status::read_failed;
    data_start = position_ - chunk_overhead - length;
    return chunk_status::ok;
}

chunk_status chunk_reader::read_chunk(std::string& data) {
    std::uint64_t start = 0;
    std::uint32_t length = 0;
    md5::digest_type stored;
    chunk_status status = read_header(start, length, stored);
    if (status != chunk_status::ok) return status;

    std::string buffer;
    try {
        buffer.resize(length);
    } catch (const std::exception&) {
        // No memory for it, or longer than a string can be on this platform.
        return chunk_status::read_failed;
    }
    for (std::size_t done = 0; done < length;) {
        std::size_t count = std::min<std::size_t>(length - done, max_read_block);
        if (!input_.read_at(start + done, buffer.data() + done, count)) return chunk_status::read_failed;
        done += count;
    }
    if (md5(buffer).digest() != stored) return chunk_status::digest_mismatch;
    data = std::move(buffer);
    position_ = start;
    return chunk_status::ok;
}

chunk_status chunk_reader::read_chunk(const consumer& consume, std::uint64_t* length_out) {
    std::uint64_t start = 0;
    std::uint32_t length = 0;
    md5::digest_type stored;
    chunk_status status = read_header(start, length, stored);
    if (status != chunk_status::ok) return status;
    if (length_out) *length_out = length;

    std::unique_ptr<char[]> block;
    try {
        block.reset(new char[std::min<std::size_t>(std::max<std::uint32_t>(length, 1), max_read_block)]);
    } catch (const std::bad_alloc&) {
        return chunk_status::read_failed;
    }
    md5 digest;
    for (std::uint64_t done = 0; done < length;) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, max_read_block));
        if (!input_.read_at(start + done, block.get(), count)) return chunk_status::read_failed;
        digest.update(block.get(), count);
        if (!consume(block.get(), count)) return chunk_status::consumer_failed;
        done += count;
    }
    if (digest.digest() != stored) return chunk_status::digest_mismatch;
    position_ = start;
    return chunk_status::ok;
}

void chunk_writer::put(const char* data, std::size_t count) {
    if (count == 0) return;
    if (written_ + count > max_archive_size)
        throw pack_error("the archive would reach 4 GiB; files must stay below " +
                         std::to_string(max_archive_size + 1) + " bytes");
    if (!sink_(data, count)) throw pack_error("writing the output failed");
    written_ += count;
}

void chunk_writer::put_trailer(std::uint32_t length, const md5::digest_type& digest) {
    char trailer[chunk_overhead];
    for (int i = 0; i < 4; ++i) trailer[i] = static_cast<char>(length >> (8 * i));
    std::copy(digest.begin(), digest.end(), trailer + 4);
    put(trailer, sizeof trailer);
}

void chunk_writer::chunk(std::string_view data) {
    if (data.size() > max_chunk_length)
        throw pack_error("a chunk of " + std::to_string(data.size()) + " bytes exceeds the limit of " +
                         std::to_string(max_chunk_length) + " bytes");
    put(data.data(), data.size());
    put_trailer(static_cast<std::uint32_t>(data.size()), md5(data).digest());
}

void chunk_writer::chunk_from(seekable_input& source, std::uint64_t offset, std::uint64_t length) {
    if (length > max_chunk_length)
        throw pack_error("a chunk of " + std::to_string(length) + " bytes exceeds the limit of " +
                         std::to_string(max_chunk_length) + " bytes");
    if (written_ + length + chunk_overhead > max_archive_size)
        throw pack_error("the archive would reach 4 GiB; files must stay below " +
                         std::to_string(max_archive_size + 1) + " bytes");
    std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(length, 1), max_read_block)));
    md5 digest;
    for (std::uint64_t done = 0; done < length;) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, block.size()));
        if (!source.read_at(offset + done, block.data(), count))
            throw pack_error("reading the input failed: " + source.failure_text());
        digest.update(block.data(), count);
        put(block.data(), count);
        done += count;
        if (progress_) progress_(written_);
    }
    put_trailer(static_cast<std::uint32_t>(length), digest.digest());
}

void chunk_writer::raw_chunk(std::string_view data, std::uint32_t length_field, const md5::digest_type& digest) {
    put(data.data(), data.size());
    put_trailer(length_field, digest);
}

void chunk_writer::raw_bytes(std::string_view bytes) { put(bytes.data(), bytes.size()); }

}  // namespace archive
