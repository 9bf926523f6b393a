// The block size of streamed chunk data: read a block, digest it, write it,
// as extraction and packing do, over a 64 MiB file in the page cache, into a
// file created afresh for each pass. Chooses archive::max_read_block.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "digest/md5.hpp"

namespace {

constexpr std::size_t file_size = std::size_t(64) << 20;

std::string temp_path(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/stream_bench." + std::to_string(::getpid()) + "." + name;
}

int input_fd() {
    static int fd = -1;
    if (fd >= 0) return fd;
    std::string path = temp_path("in");
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::exit(1);
    ::unlink(path.c_str());
    std::mt19937_64 random(64);
    std::unique_ptr<std::uint64_t[]> block(new std::uint64_t[1 << 17]);
    for (std::size_t done = 0; done < file_size; done += std::size_t(1) << 20) {
        for (std::size_t i = 0; i < (1 << 17); ++i) block[i] = random();
        if (::write(fd, block.get(), std::size_t(1) << 20) != (ssize_t(1) << 20)) std::exit(1);
    }
    return fd;
}

void stream(benchmark::State& state) {
    const std::size_t block_size = static_cast<std::size_t>(state.range(0));
    const int in = input_fd();
    const std::string out_path = temp_path("out");
    std::unique_ptr<char[]> block(new char[block_size]);
    for (auto _ : state) {
        int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0) {
            state.SkipWithError("cannot create the output");
            return;
        }
        archive::md5 digest;
        for (std::size_t done = 0; done < file_size; done += block_size) {
            if (::pread(in, block.get(), block_size, static_cast<off_t>(done)) != static_cast<ssize_t>(block_size) ||
                (digest.update(block.get(), block_size), false) ||
                ::write(out, block.get(), block_size) != static_cast<ssize_t>(block_size)) {
                state.SkipWithError("a read or write failed");
                break;
            }
        }
        benchmark::DoNotOptimize(digest.digest());
        ::close(out);
    }
    ::unlink(out_path.c_str());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file_size));
}

}  // namespace

BENCHMARK(stream)
    ->Name("stream/block")
    ->RangeMultiplier(4)
    ->Range(16 << 10, 4 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
