// Fuzz target over the whole read path of an installer: tail scan, chunk
// walk, and extraction into a scratch directory, on in-memory input.
// Invariants checked on every input: no file is created outside the scratch
// directory's working folder, every created name is bare, and an archive
// reported complete was walked to its stub entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/extract.hpp"
#include "archive/file_name.hpp"
#include "archive/stdio_io.hpp"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_archive: invariant violated: %s: %s\n", what, detail.c_str());
    std::abort();
}

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
class checked_output final : public archive::output_sink {
public:
    explicit checked_output(const std::string& prefix) : prefix_(prefix) {}
    bool create(const std::string& path) override {
        if (path.compare(0, prefix_.size(), prefix_) != 0) violated("file outside the working folder", path);
        if (!archive::is_bare_file_name(path.substr(prefix_.size()))) violated("name that is not bare", path);
        return files_.create(path);
    }
    bool write(const char* data, std::size_t count) override { return files_.write(data, count); }
    bool close() override { return files_.close(); }
    void remove() override { files_.remove(); }
    std::string failure_text() override { return files_.failure_text(); }
    std::string refused_name_text() override { return files_.refused_name_text(); }

private:
    std::string prefix_;
    archive::stdio_output files_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static scratch dir;
    archive::memory_input input(std::string_view(reinterpret_cast<const char*>(data), size));
    checked_output output(dir.prefix);
    archive::entry_table entries;
    bool complete = false;
    archive::extraction_context context{input,  output, [](const std::string&, const std::string&) {},
                                        entries, complete, dir.prefix, {}, {}};
    auto result = archive::extract_entries("fuzz.exe", context);
    if (complete && result.outcome != archive::extraction_outcome::complete)
        violated("complete flag", "set although the walk did not reach the stub entry");

    for (const auto& entry : fs::directory_iterator(dir.root))
        if (entry.path() != dir.work) violated("file outside the working folder", entry.path().string());
    for (const auto& entry : fs::directory_iterator(dir.work)) fs::remove_all(entry.path());
    return 0;
}
