// The writing half of the chunk format: only the packer and the tests write
// archives, so it stays out of the bootstrapper's image.
#include <algorithm>
#include <vector>

#include "archive/chunk.hpp"

namespace archive {

void chunk_writer::put(const char* data, std::size_t count) {
    if (count == 0) return;
    if (written_ + count > max_archive_size)
        throw pack_error("the archive would reach 4 GiB; files must stay below " +
                         std::to_string(max_archive_size + 1) + " bytes");
    if (!sink_(data, count)) throw pack_error("writing the output failed");
    written_ += count;
}

void chunk_writer::put_trailer(std::uint32_t length, const md5::digest_type& digest) {
    chunk_record record;
    for (int i = 0; i < 4; ++i) record[i] = static_cast<unsigned char>(length >> (8 * i));
    std::copy(digest.begin(), digest.end(), record.begin() + 4);
    put(reinterpret_cast<const char*>(record.data()), record.size());
    records_.push_back(record);
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
