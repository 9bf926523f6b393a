// Host-side helpers for driving extraction: an in-memory output sink whose
// failures can be switched on, and a run that records everything extraction
// did.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/entry_table.hpp"
#include "archive/extract.hpp"
#include "archive/output.hpp"
#include "io/input.hpp"

namespace archive_test {

// Keeps the extracted files in memory, keyed by full path. Files present
// before the run (pre-existing outputs) can be put in `files`.
class memory_output final : public archive::output_sink {
public:
    std::map<std::string, std::string> files;
    std::vector<std::string> created;  // every create call, in order
    std::vector<std::string> removed;
    std::size_t peak_write = 0;        // the largest single write

    // Failure injection: creating this path fails; the write that would pass
    // this many bytes of a file fails (after taking part of it); close fails.
    std::string fail_create_path;
    std::uint64_t fail_write_after = UINT64_MAX;
    bool fail_close = false;

    bool create(const std::string& path) override;
    bool write(const char* data, std::size_t count) override;
    bool close() override;
    void remove() override;
    std::string failure_text() override { return "injected failure"; }
    std::string refused_name_text() override { return "refused name"; }

private:
    std::string open_;
    bool is_open_ = false;
};

struct run_result {
    archive::extraction_result result;
    archive::entry_table entries;
    bool complete = false;
    std::vector<std::pair<std::string, std::string>> messages;  // caption, text
    std::vector<archive::entry_event> events;
    std::map<std::string, std::string> files;
    std::vector<std::string> removed;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;  // done, total
    std::vector<std::pair<std::uint64_t, std::uint64_t>> advances;  // walked, total
    unsigned stop_calls = 0;
};

inline const std::string work_dir = "C:\\work\\";

// Extracts `bytes` into memory_output under work_dir. `entries` and
// `complete` are the state before the run (complete starts false); the
// archive must match `commitment` when one is given. The walk's stop is
// asked for the first time at call 0 and says yes from call `stop_at` on.
run_result extract(const std::string& bytes, archive::entry_table entries = {},
                   memory_output* output = nullptr, const archive::commitment_digest* commitment = nullptr,
                   unsigned stop_at = ~0u);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace archive_test
