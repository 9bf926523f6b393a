#include "harness.hpp"

#include <fstream>
#include <iterator>

namespace archive_test {

bool memory_output::create(const std::string& path) {
    created.push_back(path);
    if (path == fail_create_path) return false;
    open_ = path;
    is_open_ = true;
    files[path].clear();
    return true;
}

bool memory_output::write(const char* data, std::size_t count) {
    if (!is_open_) return false;
    peak_write = std::max(peak_write, count);
    std::string& file = files[open_];
    if (file.size() + count > fail_write_after) {
        file.append(data, static_cast<std::size_t>(fail_write_after - file.size()));
        return false;
    }
    file.append(data, count);
    return true;
}

bool memory_output::close() {
    is_open_ = false;
    return !fail_close;
}

void memory_output::remove() {
    is_open_ = false;
    files.erase(open_);
    removed.push_back(open_);
}

run_result extract(const std::string& bytes, archive::entry_table entries, memory_output* output,
                   const archive::commitment_digest* commitment, unsigned stop_at) {
    memory_output own;
    memory_output& out = output ? *output : own;
    archive::memory_input input(bytes);
    run_result r;
    r.entries = std::move(entries);
    archive::extraction_context context{
        input,
        out,
        [&](const std::string& caption, const std::string& text) { r.messages.emplace_back(caption, text); },
        r.entries,
        r.complete,
        work_dir,
        [&](const archive::entry_event& e) { r.events.push_back(e); },
        [&](std::uint64_t done, std::uint64_t total) { r.progress.emplace_back(done, total); },
        {},
        commitment,
        [&](std::uint64_t walked, std::uint64_t total) { r.advances.emplace_back(walked, total); },
        [&] { return r.stop_calls++ >= stop_at; }};
    r.result = archive::extract_entries("C:\\setup.exe", context);
    r.files = out.files;
    r.removed = out.removed;
    return r;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace archive_test
