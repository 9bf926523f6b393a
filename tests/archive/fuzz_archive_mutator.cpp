// Structure-aware mutation for the archive fuzz target. Every chunk carries
// the MD5 of its data, so a byte-level mutation almost always fails the
// digest of the first chunk it touches and never reaches the entry logic
// behind it. This mutator reads the input as a chunk chain (the tail found
// with the project's own reader, the image chunk and the trailer kept as they
// are), changes it at the level of the format, and writes it back with the
// project's chunk writer, so that the digests match again. A share of its
// outputs keeps a wrong digest or a damaged length field on purpose, and a
// share is plain byte mutation, so the failure paths stay covered.
//
// Linked only into the libFuzzer build (the fuzz preset): it calls
// LLVMFuzzerMutate.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "archive/chunk.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

struct chunk {
    std::string data;
    bool wrong_digest = false;
    bool has_length = false;  // a length field that differs from the data's size
    std::uint32_t length = 0;
};

// Input = head (bytes before the first chunk that could be parsed) + chunks
// in file order + trailer after the tail chunk.
struct chain {
    std::string head;
    std::vector<chunk> chunks;
    std::string trailer;
};

std::uint32_t le32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

// False when the input has no tail marker.
bool parse(std::string_view bytes, chain& out) {
    archive::memory_input input(bytes);
    archive::chunk_reader reader(input);
    if (!reader.find_archive_end()) return false;
    std::uint64_t pos = reader.position();
    // A marker closer than 20 bytes to the end leaves no room for its
    // length and digest.
    if (pos > bytes.size()) return false;
    out.trailer.assign(bytes.substr(pos));
    std::vector<chunk> reversed;
    while (pos >= archive::chunk_overhead) {
        std::uint32_t length = le32(bytes.data() + pos - archive::chunk_overhead);
        if (length > pos - archive::chunk_overhead) break;
        std::uint64_t start = pos - archive::chunk_overhead - length;
        chunk c;
        c.data.assign(bytes.substr(start, length));
        auto digest = archive::md5(c.data).digest();
        c.wrong_digest = std::memcmp(digest.data(), bytes.data() + pos - 16, 16) != 0;
        reversed.push_back(std::move(c));
        pos = start;
        if (reversed.size() > 4096) break;
    }
    out.head.assign(bytes.substr(0, pos));
    out.chunks.assign(std::make_move_iterator(reversed.rbegin()), std::make_move_iterator(reversed.rend()));
    return true;
}

std::string serialize(const chain& c) {
    std::string out = c.head;
    archive::chunk_writer writer([&](const char* data, std::size_t count) {
        out.append(data, count);
        return true;
    });
    for (const auto& k : c.chunks) {
        if (!k.wrong_digest && !k.has_length) {
            writer.chunk(k.data);
            continue;
        }
        auto digest = archive::md5(k.data).digest();
        if (k.wrong_digest) digest[0] ^= 0x5a;
        writer.raw_chunk(k.data, k.has_length ? k.length : static_cast<std::uint32_t>(k.data.size()), digest);
    }
    writer.raw_bytes(c.trailer);
    return out;
}

const std::vector<std::string>& words() {
    static const std::vector<std::string> list = {
        "chunked-installer-tail", "value", "file", "stub", "Value", "files", "stub ", "",
        "parameters", "executable32", "msilog", "installer32", "source", "commandline", "ON", "on", "ON ",
        "%installer32%", "%source%", "%parameters%", "%executable32%", "%commandline%", "%%", "%", "%a%b%",
        "%%installer32%", "/V\"A=1 \"", "/VA=1", "/v", "/V\"", "\" /",
        "setup.exe", "payload_setup.exe", "a.bin", "CON", "nul.txt", "Com1.log", "lpt9", "CONIN$", "conout$.x",
        "AUX", "PRN", ".", "..", "...", "a.", "a ", " a", "..\\evil.exe", "sub/evil.exe", "C:evil", "a:b",
        "\\", "/", ":", "a?b", "a*b", "<", ">", "|", "\"", "\x01", std::string(1, '\0'), "\x81\x5c", "\xe5",
        "chunked-installer-tai", "chunked-installer-tailx",
        // Output failures the target injects: a write, a close, a name too
        // long to create.
        "x~w.bin", "x~c.bin", std::string(256, 'n')};
    return list;
}

// An entry's chunks in file order (the reverse of reading order).
std::vector<chunk> make_entry(std::minstd_rand& rng) {
    const auto& w = words();
    auto word = [&] { return w[rng() % w.size()]; };
    auto data = [&] {
        std::string d(rng() % 64, '\0');
        for (char& ch : d) ch = static_cast<char>(rng());
        return d;
    };
    auto c = [](std::string s) {
        chunk k;
        k.data = std::move(s);
        return k;
    };
    switch (rng() % 6) {
        case 0:
        case 1:
            return {c(word()), c(word()), c("value")};
        case 2:
            return {c(data()), c(word()), c(word()), c("file")};
        case 3:
            return {c(word()), c("stub")};
        case 4:
            return {c(std::string(archive::tail_marker))};
        default:
            return {c(word()), c(word())};
    }
}

void mutate_bytes(std::string& s, std::size_t max_size, std::minstd_rand& rng) {
    std::size_t room = std::max<std::size_t>(s.size() + 16, 64);
    room = std::min(room, max_size);
    std::size_t old = s.size();
    s.resize(std::max(room, old));
    std::size_t n = LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(s.data()), old, s.size());
    s.resize(n);
    (void)rng;
}

void mutate_chain(chain& c, std::size_t max_size, std::minstd_rand& rng) {
    auto& k = c.chunks;
    const auto& w = words();
    auto pick = [&] { return k.empty() ? std::size_t(0) : rng() % k.size(); };
    switch (rng() % 16) {
        case 0:
        case 1:  // a chunk's data, byte by byte
            if (!k.empty()) mutate_bytes(k[pick()].data, max_size, rng);
            break;
        case 2:
        case 3:  // a chunk's text replaced by a word of the format
            if (!k.empty()) k[pick()].data = w[rng() % w.size()];
            break;
        case 4: {  // a word spliced into a chunk's text
            if (k.empty()) break;
            std::string& d = k[pick()].data;
            d.insert(rng() % (d.size() + 1), w[rng() % w.size()]);
            break;
        }
        case 5:
        case 6: {  // an entry added
            auto entry = make_entry(rng);
            k.insert(k.begin() + static_cast<std::ptrdiff_t>(k.empty() ? 0 : rng() % (k.size() + 1)), entry.begin(),
                     entry.end());
            break;
        }
        case 7: {  // chunks dropped
            if (k.empty()) break;
            std::size_t at = pick(), n = std::min<std::size_t>(1 + rng() % 4, k.size() - at);
            k.erase(k.begin() + static_cast<std::ptrdiff_t>(at), k.begin() + static_cast<std::ptrdiff_t>(at + n));
            break;
        }
        case 8: {  // chunks duplicated elsewhere
            if (k.empty()) break;
            std::size_t at = pick(), n = std::min<std::size_t>(1 + rng() % 4, k.size() - at);
            std::vector<chunk> copy(k.begin() + static_cast<std::ptrdiff_t>(at),
                                    k.begin() + static_cast<std::ptrdiff_t>(at + n));
            k.insert(k.begin() + static_cast<std::ptrdiff_t>(rng() % (k.size() + 1)), copy.begin(), copy.end());
            break;
        }
        case 9: {  // chunks reordered
            if (k.size() < 2) break;
            std::swap(k[pick()], k[pick()]);
            break;
        }
        case 10: {  // the stub entry (key, kind "stub") moved
            for (std::size_t i = 1; i < k.size(); ++i) {
                if (k[i].data != "stub") continue;
                std::vector<chunk> stub(k.begin() + static_cast<std::ptrdiff_t>(i - 1),
                                        k.begin() + static_cast<std::ptrdiff_t>(i + 1));
                k.erase(k.begin() + static_cast<std::ptrdiff_t>(i - 1), k.begin() + static_cast<std::ptrdiff_t>(i + 1));
                k.insert(k.begin() + static_cast<std::ptrdiff_t>(rng() % (k.size() + 1)), stub.begin(), stub.end());
                break;
            }
            break;
        }
        case 11: {  // a deliberately wrong digest
            if (!k.empty()) k[pick()].wrong_digest = true;
            break;
        }
        case 12: {  // a damaged length field
            if (k.empty()) break;
            chunk& one = k[pick()];
            one.has_length = true;
            std::uint32_t size = static_cast<std::uint32_t>(one.data.size());
            switch (rng() % 4) {
                case 0: one.length = size + 1 + rng() % 8; break;
                case 1: one.length = size > 0 ? size - 1 - rng() % std::min<std::uint32_t>(size, 8) : 0; break;
                case 2: one.length = 0x7fffffffu + rng() % 2; break;
                default: one.length = static_cast<std::uint32_t>(rng()); break;
            }
            break;
        }
        case 13: {  // digests and lengths made right again
            for (auto& one : k) one.wrong_digest = one.has_length = false;
            break;
        }
        case 14: {  // the trailer
            if (rng() % 3 == 0)
                c.trailer.insert(rng() % (c.trailer.size() + 1), std::string(archive::tail_marker));
            else
                mutate_bytes(c.trailer, max_size, rng);
            break;
        }
        default: {  // a whole entry duplicated: kind with the chunks before it
            if (k.empty()) break;
            std::size_t end = pick() + 1, begin = end - std::min<std::size_t>(end, 1 + rng() % 4);
            std::vector<chunk> copy(k.begin() + static_cast<std::ptrdiff_t>(begin),
                                    k.begin() + static_cast<std::ptrdiff_t>(end));
            k.insert(k.begin() + static_cast<std::ptrdiff_t>(end), copy.begin(), copy.end());
            break;
        }
    }
}

// A minimal well-formed installer to start from when the input has no tail.
chain fresh() {
    chain c;
    auto add = [&](std::string s) {
        chunk k;
        k.data = std::move(s);
        c.chunks.push_back(std::move(k));
    };
    add("MZ image");
    add("stub.exe");
    add("stub");
    add("stub");
    add(std::string(archive::tail_marker));
    return c;
}

std::size_t emit(const std::string& bytes, std::uint8_t* data, std::size_t max_size) {
    std::size_t n = std::min(bytes.size(), max_size);
    std::memcpy(data, bytes.data(), n);
    return n;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    std::minstd_rand rng(seed);
    // Plain byte mutation for a share of the inputs: the scan, the length
    // and digest checks see raw damage too.
    if (rng() % 8 == 0) return LLVMFuzzerMutate(data, size, max_size);

    chain c;
    if (!parse(std::string_view(reinterpret_cast<const char*>(data), size), c)) c = fresh();
    for (unsigned rounds = 1 + rng() % 3; rounds > 0; --rounds) mutate_chain(c, max_size, rng);
    std::string out = serialize(c);
    if (out.size() > max_size) {
        // Too big: drop the largest chunk's data and try once more.
        auto largest = std::max_element(c.chunks.begin(), c.chunks.end(),
                                        [](const chunk& a, const chunk& b) { return a.data.size() < b.data.size(); });
        if (largest != c.chunks.end()) largest->data.resize(largest->data.size() / 4);
        c.head.clear();
        out = serialize(c);
        if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
    }
    return emit(out, data, max_size);
}

// Crosses two chains: a run of chunks of the second is spliced into the
// first, so entries from different inputs meet with valid digests.
extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                 const std::uint8_t* data2, std::size_t size2, std::uint8_t* out,
                                                 std::size_t max_out_size, unsigned int seed) {
    std::minstd_rand rng(seed);
    chain a, b;
    if (!parse(std::string_view(reinterpret_cast<const char*>(data1), size1), a)) a = fresh();
    if (!parse(std::string_view(reinterpret_cast<const char*>(data2), size2), b) || b.chunks.empty()) {
        return emit(serialize(a), out, max_out_size);
    }
    std::size_t from = rng() % b.chunks.size();
    std::size_t n = std::min<std::size_t>(1 + rng() % 6, b.chunks.size() - from);
    std::size_t at = a.chunks.empty() ? 0 : rng() % (a.chunks.size() + 1);
    a.chunks.insert(a.chunks.begin() + static_cast<std::ptrdiff_t>(at),
                    b.chunks.begin() + static_cast<std::ptrdiff_t>(from),
                    b.chunks.begin() + static_cast<std::ptrdiff_t>(from + n));
    std::string bytes = serialize(a);
    if (bytes.size() > max_out_size) bytes = serialize(b);
    return emit(bytes, out, max_out_size);
}
