#include "archive/chunk.hpp"
#include "platform/worker.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
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

// Passes the blocks of a streamed chunk to its consumer on a second thread,
// so that writing one block overlaps reading and digesting the next (the
// digest and the file system's copy cost about the same; together they are
// the whole cost of a large extraction). One block is in flight at a time:
// the consumer sees every block once, in order, and is never called again
// after refusing one. Without a second thread (a one-block chunk, or no
// thread to be had) the consumer runs inline, with the same results.
class overlapped_consumer {
public:
    overlapped_consumer(const chunk_reader::consumer& consume, bool overlap) : consume_(consume) {
        if (overlap) worker_.start(&overlapped_consumer::work, this);
    }

    // The worker lets the block in flight finish before it stops: the
    // caller's buffers must outlive every call.
    ~overlapped_consumer() = default;

    overlapped_consumer(const overlapped_consumer&) = delete;
    overlapped_consumer& operator=(const overlapped_consumer&) = delete;

    // Waits for the block in flight. False when the consumer refused a
    // block; an exception of the consumer is raised here, on the caller's
    // thread.
    bool settle() {
        if (worker_.started()) worker_.wait();
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
        return accepted_;
    }

    // Hands over `count` bytes at `data`, which stay unchanged until the next
    // settle() returns. Only after settle() returned true.
    void pass(const char* data, std::size_t count) {
        if (!worker_.started()) {
            accepted_ = consume_(data, count);
            return;
        }
        data_ = data;
        count_ = count;
        // Refused unless the consumer says otherwise.
        accepted_ = false;
        worker_.post();
    }

private:
    static void work(void* context) {
        auto* self = static_cast<overlapped_consumer*>(context);
        try {
            self->accepted_ = self->consume_(self->data_, self->count_);
        } catch (...) {
            self->error_ = std::current_exception();
        }
    }

    const chunk_reader::consumer& consume_;
    const char* data_ = nullptr;
    std::size_t count_ = 0;
    bool accepted_ = true;
    std::exception_ptr error_;
    worker worker_;  // last: stopped before every member it uses ends
};

// Reads the blocks of a streamed chunk ahead on a thread of its own, so that
// reading one block overlaps digesting (and writing) the one before it. One
// read is in flight at a time. Without a second thread the read runs at
// request(), with the same results.
class read_ahead {
public:
    read_ahead(seekable_input& input, bool overlap) : input_(input) {
        if (overlap) worker_.start(&read_ahead::work, this);
    }

    read_ahead(const read_ahead&) = delete;
    read_ahead& operator=(const read_ahead&) = delete;

    // Starts reading `count` bytes at `offset` into `buffer`, which the
    // caller leaves alone until result() returns. Only with no read in
    // flight.
    void request(std::uint64_t offset, char* buffer, std::size_t count) {
        offset_ = offset;
        buffer_ = buffer;
        count_ = count;
        if (!worker_.started()) {
            work(this);
            return;
        }
        read_ = false;
        worker_.post();
    }

    // Waits for the read; whether every byte arrived. An exception of the
    // input is raised here, on the caller's thread.
    bool result() {
        if (worker_.started()) worker_.wait();
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
        return read_;
    }

private:
    static void work(void* context) {
        auto* self = static_cast<read_ahead*>(context);
        try {
            self->read_ = self->input_.read_at(self->offset_, self->buffer_, self->count_);
        } catch (...) {
            self->error_ = std::current_exception();
        }
    }

    seekable_input& input_;
    std::uint64_t offset_ = 0;
    char* buffer_ = nullptr;
    std::size_t count_ = 0;
    bool read_ = false;
    std::exception_ptr error_;
    worker worker_;  // last: stopped before every member it uses ends
};

}  // namespace

bool chunk_reader::find_end_before(std::uint64_t table_offset) {
    // The tail chunk and the padding after it, read at once.
    constexpr std::size_t tail_chunk = tail_marker.size() + chunk_overhead;
    unsigned char window[tail_chunk + max_table_padding];
    if (table_offset < first_window + sizeof window) return false;
    if (!input_.read_at(table_offset - sizeof window, window, sizeof window)) return false;
    for (std::size_t padding = 0; padding <= max_table_padding; ++padding) {
        if (padding != 0 && window[sizeof window - padding] != 0) return false;
        const auto* marker = window + sizeof window - padding - tail_chunk;
        if (std::string_view(reinterpret_cast<const char*>(marker), tail_marker.size()) == tail_marker) {
            position_ = table_offset - padding;
            return true;
        }
    }
    return false;
}

bool chunk_reader::find_archive_end() {
    std::uint64_t size = 0;
    if (!input_.size(size) || size > max_archive_size) return false;
    bound_ = pe::find_archive_bound(input_);
    if (bound_.kind == pe::archive_bound::type::unusable) return false;
    if (bound_.kind == pe::archive_bound::type::certificate_table) return find_end_before(bound_.table_offset);
    if (size < first_window + tail_marker.size() + 1) return false;

    // Windows [s, s + 22) with first_window <= s <= size - 23. Blocks overlap
    // by 21 bytes so that no window falls between two of them. No block is
    // longer than the input.
    std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(scan_block, size)));
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
    std::copy(trailer, trailer + chunk_overhead, record_.begin());
    return chunk_status::ok;
}

chunk_status chunk_reader::accept(std::uint64_t data_start) {
    position_ = data_start;
    if (records_) records_->update(record_.data(), record_.size());
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
    return accept(start);
}

chunk_status chunk_reader::read_chunk(const consumer& consume, std::uint64_t* length_out) {
    std::uint64_t start = 0;
    std::uint32_t length = 0;
    md5::digest_type stored;
    chunk_status status = read_header(start, length, stored);
    if (status != chunk_status::ok) return status;
    if (length_out) *length_out = length;

    // Three blocks when the chunk spans several: the next one is read into
    // one while the consumer works on another and the digest reads it too;
    // the third is the one the consumer had before, free again once it has
    // settled.
    const bool several = length > max_read_block;
    std::unique_ptr<char[]> blocks[3];
    try {
        blocks[0].reset(new char[std::min<std::size_t>(std::max<std::uint32_t>(length, 1), max_read_block)]);
        if (several) {
            blocks[1].reset(new char[max_read_block]);
            blocks[2].reset(new char[max_read_block]);
        }
    } catch (const std::bad_alloc&) {
        return chunk_status::read_failed;
    }
    auto block_size = [&](std::uint64_t done) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(length - done, max_read_block));
    };
    md5 digest;
    overlapped_consumer consumer(consume, several);
    // Declared after the blocks and the consumer: it ends first, and waits
    // for its read in flight before the blocks go.
    read_ahead reader(input_, several);
    if (length > 0) reader.request(start, blocks[0].get(), block_size(0));
    for (std::uint64_t done = 0, index = 0; done < length; ++index) {
        char* block = blocks[several ? index % 3 : 0].get();
        std::size_t count = block_size(done);
        bool read = reader.result();
        // A refusal of the block before comes first: it happened first.
        if (!consumer.settle()) return chunk_status::consumer_failed;
        if (!read) return chunk_status::read_failed;
        if (done + count < length)
            reader.request(start + done + count, blocks[(index + 1) % 3].get(), block_size(done + count));
        consumer.pass(block, count);
        digest.update(block, count);
        done += count;
    }
    if (!consumer.settle()) return chunk_status::consumer_failed;
    if (digest.digest() != stored) return chunk_status::digest_mismatch;
    return accept(start);
}

}  // namespace archive
