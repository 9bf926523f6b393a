// Digest throughput: archive::md5 against OpenSSL's MD5 over the same
// buffers. Both digest the whole buffer per iteration and finalise.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "digest/md5.hpp"

namespace {

const std::string& buffer_of(std::size_t size) {
    static std::string buffer;
    if (buffer.size() < size) {
        std::mt19937_64 random(20240611);
        buffer.resize(size);
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            std::uint64_t word = random();
            std::memcpy(&buffer[i], &word, 8);
        }
    }
    return buffer;
}

void ours(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    std::string_view data(buffer_of(size).data(), size);
    for (auto _ : state) {
        archive::md5 digest(data);
        benchmark::DoNotOptimize(digest.digest());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void openssl(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const char* data = buffer_of(size).data();
    // Fetched once, as a caller that digests many buffers would.
    EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!md || !context) {
        state.SkipWithError("OpenSSL has no MD5");
        return;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int out_size = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(context, md, nullptr);
        EVP_DigestUpdate(context, data, size);
        EVP_DigestFinal_ex(context, out, &out_size);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(context);
    EVP_MD_free(md);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1 << 10)->Arg(64 << 10)->Arg(64 << 20);
}

}  // namespace

BENCHMARK(ours)->Name("md5/ours")->Apply(sizes);
BENCHMARK(openssl)->Name("md5/openssl")->Apply(sizes);

// Before timing anything: both digests must agree on every buffer measured.
int main(int argc, char** argv) {
    for (std::size_t size : {std::size_t(1) << 10, std::size_t(64) << 10, std::size_t(64) << 20}) {
        std::string_view data(buffer_of(size).data(), size);
        unsigned char theirs[EVP_MAX_MD_SIZE];
        unsigned int theirs_size = 0;
        if (EVP_Digest(data.data(), data.size(), theirs, &theirs_size, EVP_md5(), nullptr) != 1 ||
            theirs_size != 16 || std::memcmp(archive::md5(data).digest().data(), theirs, 16) != 0) {
            std::fprintf(stderr, "md5_bench: the digests of %zu bytes differ from OpenSSL's\n", size);
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
