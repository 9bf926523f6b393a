// Finding the archive's end: chunk_reader::find_archive_end against the
// per-byte method (move back 23 bytes, read 22, compare; once per trailer
// byte), both over the same file through plain system calls, counting reads.
// Trailers: 5,776 bytes (a certificate table) and 1 MiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "archive/chunk.hpp"
#include "packing/installer_builder.hpp"

namespace {

// A file read with one lseek and one read per request (the shape of
// SetFilePointerEx + ReadFile), counting the read calls.
class counting_fd_input final : public archive::seekable_input {
public:
    explicit counting_fd_input(int fd) noexcept : fd_(fd) {}

    bool size(std::uint64_t& result) override {
        off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) return false;
        result = static_cast<std::uint64_t>(end);
        return true;
    }
    bool read_at(std::uint64_t offset, void* buffer, std::size_t count) override {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
        auto bytes = static_cast<char*>(buffer);
        while (count != 0) {
            ++reads;
            ssize_t got = ::read(fd_, bytes, count);
            if (got <= 0) return false;
            bytes += got;
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }
    std::string failure_text() override { return std::strerror(errno); }

    std::uint64_t reads = 0;

private:
    int fd_;
};

// The per-byte method; the position ends 20 bytes past the marker's start.
bool per_byte_find(int fd, std::uint64_t& reads, std::uint64_t& position) {
    if (::lseek(fd, 0, SEEK_END) < 0) return false;
    char window[22];
    for (;;) {
        off_t at = ::lseek(fd, -23, SEEK_CUR);
        if (at < 0 || at <= 22) return false;
        ++reads;
        if (::read(fd, window, sizeof window) != static_cast<ssize_t>(sizeof window)) continue;
        if (std::memcmp(window, archive::tail_marker.data(), sizeof window) == 0) {
            off_t end = ::lseek(fd, 20, SEEK_CUR);
            if (end < 0) return false;
            position = static_cast<std::uint64_t>(end);
            return true;
        }
    }
}

// An installer with a 64 KiB payload and a random trailer of `trailer`
// bytes, written once per size under the system's temporary directory.
struct sample {
    std::string path;
    std::uint64_t expected_end = 0;
    int fd = -1;
};

sample& sample_of(std::size_t trailer) {
    static std::map<std::size_t, sample> samples;
    sample& s = samples[trailer];
    if (s.fd >= 0) return s;

    std::mt19937_64 random(trailer);
    std::string stub(4096, '\0'), payload(65536, '\0'), tail(trailer, '\0');
    for (auto* bytes : {&stub, &payload, &tail})
        for (auto& c : *bytes) c = static_cast<char>(random());
    std::string installer = archive::build_installer(
        stub, "stub.exe", {archive::installer_entry::make_file("installer32", "payload.exe", payload)});
    s.expected_end = installer.size();
    installer += tail;

    const char* dir = std::getenv("TMPDIR");
    s.path = std::string(dir && *dir ? dir : "/tmp") + "/tail_scan_bench." + std::to_string(::getpid()) + "." +
             std::to_string(trailer);
    std::FILE* f = std::fopen(s.path.c_str(), "wb");
    if (!f || std::fwrite(installer.data(), 1, installer.size(), f) != installer.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "tail_scan_bench: cannot write %s\n", s.path.c_str());
        std::exit(1);
    }
    s.fd = ::open(s.path.c_str(), O_RDONLY);
    ::unlink(s.path.c_str());
    if (s.fd < 0) std::exit(1);
    return s;
}

void ours(benchmark::State& state) {
    sample& s = sample_of(static_cast<std::size_t>(state.range(0)));
    counting_fd_input input(s.fd);
    std::uint64_t scans = 0;
    for (auto _ : state) {
        archive::chunk_reader reader(input);
        if (!reader.find_archive_end() || reader.position() != s.expected_end) {
            state.SkipWithError("the tail was not found where it was written");
            return;
        }
        ++scans;
    }
    state.counters["reads"] = static_cast<double>(input.reads) / static_cast<double>(scans);
}

void per_byte(benchmark::State& state) {
    sample& s = sample_of(static_cast<std::size_t>(state.range(0)));
    std::uint64_t reads = 0, scans = 0;
    for (auto _ : state) {
        std::uint64_t position = 0;
        if (!per_byte_find(s.fd, reads, position) || position != s.expected_end) {
            state.SkipWithError("the tail was not found where it was written");
            return;
        }
        ++scans;
    }
    state.counters["reads"] = static_cast<double>(reads) / static_cast<double>(scans);
}

}  // namespace

BENCHMARK(ours)->Name("tail/ours")->Arg(5776)->Arg(60000)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(per_byte)->Name("tail/per_byte")->Arg(5776)->Arg(60000)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
