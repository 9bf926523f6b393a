// Fuzz target over the whole read path of an installer: tail scan, chunk
// walk and extraction, on in-memory input. The fuzzer writes into an
// in-memory sink (no file system cost per input); the corpus replay built
// with FUZZ_ARCHIVE_REAL_FILES also extracts every input into a real scratch
// folder and requires the same files with the same bytes there.
//
// Invariants checked on every input:
// - every created path is the working folder followed by a bare name, and
//   one file is open at a time;
// - a failed file entry failed for its cause (a refused name, or an output
//   failure that the input asked for, see create_fails) and records its key
//   only when the name was refused or the file could not be created;
// - every file left behind was confirmed by its entry, holds exactly the
//   data chunk's bytes, and those bytes match the digest stored behind them;
//   a file whose entry failed is gone;
// - the complete flag is set exactly when the walk read the tail chunk itself
//   (kind text equal to the marker) and reached the stub entry;
// - the entry table is what first-wins insertion of the walked value entries
//   and the file entries with a non-empty key gives, nothing else;
// - the entries walked are contiguous, each starting where the one after it
//   in the file ends;
// - expanding a reference to any recorded key stays within its bound or is
//   refused with expansion_error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "archive/chunk.hpp"
#include "archive/extract.hpp"
#include "archive/file_name.hpp"
#include "digest/md5.hpp"

#ifdef FUZZ_ARCHIVE_REAL_FILES
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/std/stdio_io.hpp"
#endif

namespace {

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_archive: invariant violated: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Output failures the input can ask for, the same for the in-memory and the
// real-file sink, so that their paths are fuzzed too: a name longer than
// 255 bytes cannot be created (as on the file systems of both platforms), a
// name holding "~w" fails its first write and one holding "~c" its close.
constexpr std::size_t longest_name = 255;
bool create_fails(std::string_view name) { return name.size() > longest_name; }
bool write_fails(std::string_view name) { return name.find("~w") != std::string_view::npos; }
bool close_fails(std::string_view name) { return name.find("~c") != std::string_view::npos; }
const std::string refused_text = "refused name";
const std::string create_text = "create failed";
const std::string write_text = "write failed";
const std::string close_text = "close failed";

// Checks every path as it is created and keeps the files in memory. Each
// create gets a serial number, so that a file can be traced to the create
// that made its present bytes.
class checked_memory_output final : public archive::output_sink {
public:
    struct file {
        std::string bytes;
        std::size_t serial = 0;
    };
    std::map<std::string, file> files;
    std::string last_path;
    std::size_t serial = 0;
    bool open = false;

    explicit checked_memory_output(std::string prefix) : prefix_(std::move(prefix)) {}

    bool create(const std::string& path) override {
        if (path.compare(0, prefix_.size(), prefix_) != 0) violated("file outside the working folder", path);
        if (!archive::is_bare_file_name(std::string_view(path).substr(prefix_.size())))
            violated("name that is not bare", path);
        if (open) violated("second file opened while one is open", path);
        if (create_fails(std::string_view(path).substr(prefix_.size()))) {
            failure_ = create_text;
            return false;
        }
        file& f = files[path];
        f.bytes.clear();
        f.serial = ++serial;
        last_path = path;
        open = true;
        return true;
    }
    bool write(const char* data, std::size_t count) override {
        if (!open) violated("write without an open file", last_path);
        if (write_fails(std::string_view(last_path).substr(prefix_.size()))) {
            failure_ = write_text;
            return false;
        }
        files[last_path].bytes.append(data, count);
        return true;
    }
    bool close() override {
        if (!open) violated("close without an open file", last_path);
        open = false;
        if (close_fails(std::string_view(last_path).substr(prefix_.size()))) {
            failure_ = close_text;
            return false;
        }
        return true;
    }
    void remove() override {
        open = false;
        files.erase(last_path);
    }
    std::string failure_text() override { return failure_; }
    std::string refused_name_text() override { return refused_text; }

private:
    std::string prefix_;
    std::string failure_;
};

const std::string work_dir = "/fuzz/work/";

struct outcome {
    archive::extraction_result result;
    archive::entry_table entries;
    bool complete = false;
    std::map<std::string, std::string> files;  // path -> bytes
};

outcome run(std::string_view bytes) {
    archive::memory_input input(bytes);
    checked_memory_output output(work_dir);
    outcome o;
    std::vector<archive::entry_event> events;
    std::map<std::string, std::size_t> confirmed;  // path -> serial of the create its entry confirmed
    archive::extraction_context context{
        input, output, [](const std::string&, const std::string&) {}, o.entries, o.complete, work_dir,
        [&](const archive::entry_event& e) {
            if (e.kind == archive::entry_event::type::file) {
                const std::string path = work_dir + e.value;
                if (output.open) violated("file still open after its entry", path);
                if (output.last_path != path || !output.files.count(path))
                    violated("file entry confirmed without its file", path);
                confirmed[path] = output.files[path].serial;
                // The data chunk is the entry's first chunk in the file.
                if (e.begin + e.size + 20 > bytes.size()) violated("entry span", path);
                std::string_view data = bytes.substr(e.begin, e.size);
                if (output.files[path].bytes != data) violated("file bytes differ from its data chunk", path);
                auto digest = archive::md5(data).digest();
                if (bytes.substr(e.begin + e.size + 4, 16) !=
                    std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()))
                    violated("file kept although its digest does not match", path);
            }
            events.push_back(e);
        },
        {},
        {},
        nullptr};
    o.result = archive::extract_entries("fuzz.exe", context);

    if (output.open) violated("file left open", output.last_path);
    for (const auto& [path, f] : output.files) {
        auto it = confirmed.find(path);
        if (it == confirmed.end() || it->second != f.serial)
            violated("file left behind by an entry that failed", path);
        o.files[path] = f.bytes;
    }

    bool tail_read = false;
    archive::entry_table expected;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        using type = archive::entry_event::type;
        type kind = e.kind_text == archive::tail_marker ? type::tail
                    : e.kind_text == "value"           ? type::value
                    : e.kind_text == "file"            ? type::file
                    : e.kind_text == "stub"            ? type::stub
                                                       : type::other;
        if (kind != e.kind) violated("entry kind", e.kind_text);
        if (kind == type::tail) tail_read = true;
        if (kind == type::value) expected.insert_if_absent(e.key, e.value);
        if (kind == type::file && !e.key.empty()) expected.insert_if_absent(e.key, e.value);
        if (e.begin >= e.end || e.end > bytes.size()) violated("entry span", e.kind_text);
        if (i > 0 && events[i - 1].begin != e.end) violated("entries not contiguous", e.kind_text);
        if (kind == type::stub && i + 1 != events.size()) violated("walk went on after the stub", e.key);
    }
    if (o.result.outcome == archive::extraction_outcome::extract_failed) {
        // A file entry whose file could not be created still records its key
        // (the name is recorded before the file is created); it was not
        // observed, so read its key again from where the walk stood.
        archive::memory_input again(bytes);
        archive::chunk_reader reader(again);
        if (events.empty()) violated("extract failure", "before the tail chunk");
        reader.set_position(events.back().begin);
        std::string kind, key, name;
        if (reader.read_chunk(kind) != archive::chunk_status::ok || kind != "file" ||
            reader.read_chunk(key) != archive::chunk_status::ok || reader.read_chunk(name) != archive::chunk_status::ok)
            violated("extract failure", "not at a file entry");
        if (o.result.path != work_dir + name) violated("extract failure", "names another path: " + o.result.path);
        const std::string& error = o.result.error;
        if (error == refused_text ? archive::is_bare_file_name(name)
            : error == create_text ? !create_fails(name)
            : error == write_text  ? !write_fails(name)
            : error == close_text  ? !close_fails(name)
                                   : true)
            violated("extract failure", "without its cause: " + error + ": " + name);
        // The name is recorded before the file is created; a file whose
        // data could not be written or closed records nothing.
        if (!key.empty() && (error == refused_text || error == create_text)) expected.insert_if_absent(key, name);
    }
    if (o.entries.entries() != expected.entries()) violated("entry table", "differs from the entries walked");
    bool reached_stub = o.result.outcome == archive::extraction_outcome::complete;
    if (reached_stub != (!events.empty() && events.back().kind == archive::entry_event::type::stub))
        violated("outcome", "complete without the stub entry, or the stub entry without complete");
    if (o.complete != (tail_read && reached_stub))
        violated("complete flag", "differs from: tail chunk read and stub entry reached");

    // The run expands references in the archive's values ("%installer32%"):
    // every key's expansion stays bounded or is refused cleanly.
    std::size_t expanded = 0;
    for (const auto& [key, value] : o.entries.entries()) {
        if (++expanded > 8) break;
        try {
            if (archive::expand_references(o.entries, "%" + key + "%").size() > archive::max_expanded_size)
                violated("expansion", "beyond its bound: " + key);
        } catch (const archive::expansion_error&) {
        }
    }
    return o;
}

#ifdef FUZZ_ARCHIVE_REAL_FILES
namespace fs = std::filesystem;

struct scratch {
    fs::path root;
    fs::path work;
    std::string prefix;

    scratch() {
        std::string pattern = (fs::temp_directory_path() / "fuzz_archive_XXXXXX").string();
        if (!mkdtemp(pattern.data())) violated("setup", "mkdtemp failed");
        root = pattern;
        work = root / "work";
        fs::create_directory(work);
        prefix = work.string() + "/";
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// Checks every path before the real file backend creates it.
class checked_file_output final : public archive::output_sink {
public:
    explicit checked_file_output(const std::string& prefix) : prefix_(prefix) {}
    bool create(const std::string& path) override {
        if (path.compare(0, prefix_.size(), prefix_) != 0) violated("file outside the working folder", path);
        name_ = path.substr(prefix_.size());
        if (!archive::is_bare_file_name(name_)) violated("name that is not bare", path);
        return files_.create(path);
    }
    bool write(const char* data, std::size_t count) override {
        return !write_fails(name_) && files_.write(data, count);
    }
    bool close() override { return files_.close() && !close_fails(name_); }
    void remove() override { files_.remove(); }
    std::string failure_text() override { return files_.failure_text(); }
    std::string refused_name_text() override { return files_.refused_name_text(); }

private:
    std::string prefix_;
    std::string name_;
    archive::stdio_output files_;
};

// The same walk with the real file backend: the same outcome, table and
// files, byte for byte, and nothing outside the working folder.
void run_with_files(std::string_view bytes, const outcome& in_memory) {
    static scratch dir;
    archive::memory_input input(bytes);
    checked_file_output output(dir.prefix);
    archive::entry_table entries;
    bool complete = false;
    archive::extraction_context context{input,   output,   [](const std::string&, const std::string&) {},
                                        entries, complete, dir.prefix,
                                        {},      {},       {}, nullptr};
    auto result = archive::extract_entries("fuzz.exe", context);
    if (result.outcome != in_memory.result.outcome || complete != in_memory.complete)
        violated("real files", "outcome differs from the in-memory run");
    if (entries.entries() != in_memory.entries.entries()) violated("real files", "entry table differs");

    for (const auto& entry : fs::directory_iterator(dir.root))
        if (entry.path() != dir.work) violated("file outside the working folder", entry.path().string());
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir.work)) {
        ++count;
        std::string name = entry.path().filename().string();
        auto it = in_memory.files.find(work_dir + name);
        if (it == in_memory.files.end()) violated("real files", "a file the in-memory run does not have: " + name);
        std::ifstream in(entry.path(), std::ios::binary);
        std::string on_disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (on_disk != it->second) violated("real files", "bytes differ: " + name);
    }
    if (count != in_memory.files.size()) violated("real files", "fewer files than the in-memory run");
    for (const auto& entry : fs::directory_iterator(dir.work)) fs::remove_all(entry.path());
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    outcome o = run(bytes);
#ifdef FUZZ_ARCHIVE_REAL_FILES
    run_with_files(bytes, o);
#endif
    return 0;
}
