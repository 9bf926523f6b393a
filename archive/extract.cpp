#include "archive/extract.hpp"

#include "archive/chunk.hpp"

namespace archive {

std::string file_failure_text(const std::string& path, const std::string& error) {
    return "File: " + path + "\rError: " + error;
}

namespace {

constexpr std::string_view value_kind = "value";
constexpr std::string_view file_kind = "file";
constexpr std::string_view stub_kind = "stub";

class extraction {
public:
    extraction(const std::string& archive_path, extraction_context& context)
        : archive_path_(archive_path), c_(context), reader_(context.input) {
        reader_.record_into(&records_);
    }

    extraction_result run() {
        if (!reader_.find_archive_end()) {
            c_.report(initialize_failed_caption, file_failure_text(archive_path_, c_.input.failure_text()));
            c_.archive_complete = false;
            result_.outcome = extraction_outcome::no_archive_end;
            return result_;
        }
        total_ = reader_.position();
        tell();
        while (next_entry()) {
        }
        return result_;
    }

private:
    // False once the walk has ended, for whatever reason.
    bool next_entry() {
        if (c_.stop && c_.stop()) return cancel();
        entry_event event;
        event.end = reader_.position();
        if (!read(event.kind_text)) return false;

        if (event.kind_text == tail_marker) {
            c_.archive_complete = true;
            event.kind = entry_event::type::tail;
            return observe(event);
        }
        if (!read(event.key)) return false;

        if (event.kind_text == value_kind) {
            if (!read(event.value)) return false;
            if (std::string refusal = decode(event.key, event.value); !refusal.empty()) {
                fail_to_extract(c_.working_directory, refusal);
                return false;
            }
            c_.entries.insert_if_absent(event.key, event.value);
            event.kind = entry_event::type::value;
            return observe(event);
        }
        if (event.kind_text == file_kind) {
            if (!read(event.value)) return false;
            event.kind = entry_event::type::file;
            if (!extract_file(event)) return false;
            return observe(event);
        }
        if (event.kind_text == stub_kind) {
            event.kind = entry_event::type::stub;
            observe(event);
            result_.records = records_.digest();
            if (c_.commitment && *c_.commitment != result_.records) {
                c_.archive_complete = false;
                result_.outcome = extraction_outcome::commitment_mismatch;
                result_.offset = reader_.position();
                return false;
            }
            result_.outcome = extraction_outcome::complete;
            if (c_.advance) c_.advance(total_, total_);
            return false;
        }
        event.kind = entry_event::type::other;
        return observe(event);
    }

    bool observe(entry_event& event) {
        event.begin = reader_.position();
        if (c_.observe) c_.observe(event);
        tell();
        return true;
    }

    void tell() {
        if (c_.advance) c_.advance(total_ - reader_.position(), total_);
    }

    bool cancel() {
        c_.archive_complete = false;
        result_.outcome = extraction_outcome::cancelled;
        result_.offset = reader_.position();
        return false;
    }

    // Reads one chunk into memory; on failure ends the walk with the flag
    // cleared (a damaged length field must never pass for a complete archive).
    bool read(std::string& data) {
        return handle(reader_.read_chunk(data));
    }

    bool handle(chunk_status status) {
        switch (status) {
            case chunk_status::ok:
                return true;
            case chunk_status::digest_mismatch:
                c_.report(invalid_archive_caption, invalid_archive_text);
                result_.outcome = extraction_outcome::digest_mismatch;
                break;
            case chunk_status::read_failed:
            case chunk_status::consumer_failed:
                result_.outcome = extraction_outcome::read_failed;
                break;
        }
        result_.offset = reader_.position();
        c_.archive_complete = false;
        return false;
    }

    // The key and the value (or file name) as the caller takes them; the
    // empty text, or why one of them is refused.
    std::string decode(std::string& key, std::string& value) {
        if (!c_.decode) return std::string();
        std::string refusal = c_.decode(key);
        return refusal.empty() ? c_.decode(value) : refusal;
    }

    void fail_to_extract(const std::string& path, const std::string& failure) {
        c_.report(extract_failed_caption, file_failure_text(path, failure));
        c_.archive_complete = false;
        result_.outcome = extraction_outcome::extract_failed;
        result_.offset = reader_.position();
        result_.path = path;
        result_.error = failure;
    }

    bool extract_file(entry_event& event) {
        std::string failure = decode(event.key, event.value);
        const bool decoded = failure.empty();
        const std::string path = c_.working_directory + (decoded ? event.value : std::string());
        bool created = false;
        // Nothing is created under a name that could not be read.
        if (decoded) {
            if (!c_.output.accepts_name(event.value))
                failure = c_.output.refused_name_text();
            else if (c_.output.create(path))
                created = true;
            else
                failure = c_.output.failure_text();
        }

        // The data is verified even when nothing can be written, so that a
        // damaged archive is reported as such first.
        std::uint64_t done = 0, total = 0;
        const std::uint64_t walked = total_ - reader_.position();
        bool write_failed = false, stopped = false;
        auto consume = [&](const char* data, std::size_t count) {
            if (c_.stop && c_.stop()) {
                stopped = true;
                return false;
            }
            if (created && !c_.output.write(data, count)) {
                failure = c_.output.failure_text();
                write_failed = true;
                return false;
            }
            done += count;
            if (c_.progress) c_.progress(done, total);
            if (c_.advance) c_.advance(walked + done, total_);
            return true;
        };
        chunk_status status = reader_.read_chunk(consume, &total);
        event.size = total;
        if (status == chunk_status::ok && created && !c_.output.close()) {
            failure = c_.output.failure_text();
            write_failed = true;
        }
        if (created && (status != chunk_status::ok || write_failed)) c_.output.remove();
        if (stopped) return cancel();
        if (status != chunk_status::ok && !write_failed) return handle(status);

        if (decoded && !write_failed && !event.key.empty()) c_.entries.insert_if_absent(event.key, event.value);
        if (!created || write_failed) {
            fail_to_extract(path, failure);
            return false;
        }
        return true;
    }

    const std::string& archive_path_;
    extraction_context& c_;
    chunk_reader reader_;
    sha256 records_;
    std::uint64_t total_ = 0;  // the archive's end: its size from offset 0
    extraction_result result_{extraction_outcome::read_failed, 0, {}, {}, {}};
};

}  // namespace

extraction_result extract_entries(const std::string& archive_path, extraction_context& context) {
    return extraction(archive_path, context).run();
}

}  // namespace archive
