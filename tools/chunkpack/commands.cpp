#include "commands.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#if defined(_WIN32)
#include "corvid/win32.hpp"
#endif

#include "archive/chunk.hpp"
#include "archive/entry_table.hpp"
#include "archive/extract.hpp"
#include "archive/file_name.hpp"
#include "json_report.hpp"
#include "packing/installer_builder.hpp"
#include "pe/commitment_slot.hpp"
#include "pe/pe_resources.hpp"
#include "platform/std/stdio_io.hpp"

namespace chunkpack {

namespace fs = std::filesystem;

namespace {

// Inputs above this size get progress lines.
constexpr std::uint64_t progress_threshold = 16u << 20;

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct refusal {
    std::string message;
};

[[noreturn]] void refuse(std::string message) { throw refusal{std::move(message)}; }

std::uint64_t size_of(archive::stdio_input& input, const std::string& path) {
    std::uint64_t size = 0;
    if (!input.size(size)) refuse("cannot read " + path + ": " + input.failure_text());
    return size;
}

void open_input(archive::stdio_input& input, const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) refuse("cannot read " + path + ": it is a directory");
    if (!input.open(path)) refuse("cannot read " + path + ": " + input.failure_text());
}

// The whole of an input that is small enough to hold in memory.
std::string read_whole(archive::seekable_input& input, std::uint64_t size, const std::string& path) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (std::size_t at = 0; at < bytes.size(); at += archive::max_read_block) {
        const std::size_t count = std::min(bytes.size() - at, archive::max_read_block);
        if (!input.read_at(at, bytes.data() + at, count)) refuse("cannot read " + path + ": " + input.failure_text());
    }
    return bytes;
}

void check_pe(archive::stdio_input& stub, std::uint64_t size, const std::string& path) {
    unsigned char header[64];
    if (size < sizeof header || !stub.read_at(0, header, sizeof header) || header[0] != 'M' || header[1] != 'Z')
        refuse(path + " is not a PE executable (no MZ header)");
    std::uint64_t pe = header[0x3c] | header[0x3d] << 8 | header[0x3e] << 16 | std::uint64_t(header[0x3f]) << 24;
    char signature[4];
    if (pe + 4 > size || !stub.read_at(pe, signature, 4) || std::memcmp(signature, "PE\0\0", 4) != 0)
        refuse(path + " is not a PE executable (no PE signature)");
}

// True when the input holds a whole tail chunk anywhere: the marker, its
// length and its digest. The marker text alone (a bootstrapper carries it in
// its data) is no tail.
bool holds_tail_chunk(archive::seekable_input& input, std::uint64_t size) {
    std::string pattern(archive::tail_marker);
    pattern += std::string("\x16\0\0\0", 4);
    const archive::md5::digest_type digest = archive::md5(archive::tail_marker).digest();
    pattern.append(reinterpret_cast<const char*>(digest.data()), digest.size());

    std::string block(archive::max_read_block, '\0');
    for (std::uint64_t begin = 0; begin < size;) {
        std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size - begin, block.size()));
        if (!input.read_at(begin, block.data(), count)) refuse("reading the stub failed: " + input.failure_text());
        if (std::string_view(block.data(), count).find(pattern) != std::string_view::npos) return true;
        if (begin + count == size) break;
        begin += count - (pattern.size() - 1);
    }
    return false;
}

bool same_file_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

#if defined(_WIN32)
std::wstring ansi_to_wide(const std::string& text) {
    const int size = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string wide_to(UINT code_page, const std::wstring& text) {
    const int size =
        ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                              nullptr);
    return narrow;
}
#endif

// The name of the file at `path` as the archive stores it: the path's last
// component, in the path's own encoding (the ANSI code page of this system
// on Windows, where a trail byte 0x5C of a double-byte character is no
// separator; the bytes as they are elsewhere).
std::string stored_file_name(const std::string& path) {
#if defined(_WIN32)
    // The standard library's narrow paths are not the ANSI code page's text
    // here: the cut is made on the characters, and the name given back in
    // the code page it came in.
    const std::wstring wide = ansi_to_wide(path);
    if (!wide.empty() || path.empty()) return wide_to(CP_ACP, fs::path(wide).filename().wstring());
#endif
    return fs::path(path).filename().string();
}

// Whether the bootstrapper accepts the name of the file at `path` as a bare
// name. It checks the name once decoded from the installer's code page into
// UTF-8: here the system's ANSI code page on Windows, the bytes as they are
// elsewhere.
bool bare_name_of(const std::string& path) {
#if defined(_WIN32)
    const std::wstring wide = ansi_to_wide(stored_file_name(path));
    return !wide.empty() && archive::is_bare_file_name(wide_to(CP_UTF8, wide));
#else
    return archive::is_bare_file_name(stored_file_name(path));
#endif
}

// Whether the file at `path` is a program that the bootstrapper can start:
// it starts it as a process of its own, without the shell, so a Windows
// Installer package or a script cannot be the file to start.
bool is_program(const std::string& path) {
    archive::stdio_input input;
    return input.open(path) && archive::pe::is_program(input);
}

// The keys of the references in `text` that `table` cannot resolve, read as
// the bootstrapper reads them (of a run of "%" only the last opens the
// reference; an unresolved reference's closing "%" opens the next). Only
// keys that look like names count: "50% or 60%" holds no reference anyone
// meant.
std::vector<std::string> unknown_references(const archive::entry_table& table, const std::string& text) {
    std::vector<std::string> unknown;
    for (std::size_t pos = text.find('%'); pos != std::string::npos;) {
        std::size_t begin = pos;
        while (begin < text.size() && text[begin] == '%') ++begin;
        std::size_t close = begin < text.size() ? text.find('%', begin) : std::string::npos;
        if (close == std::string::npos) break;
        std::string key = text.substr(begin, close - begin);
        if (table.find(key)) {
            pos = text.find('%', close + 1);
            continue;
        }
        bool name = !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '_' || c == '-' || c == '.';
        });
        if (name) unknown.push_back(key);
        pos = close;
    }
    return unknown;
}

// The checks of what an installer will do at its customer's run; see build().
void check_entries(const std::vector<build_entry>& entries, const streams& io, bool force) {
    auto warn = [&](const std::string& text) { std::fprintf(io.err, "chunkpack: warning: %s\n", text.c_str()); };
    auto refuse_unless_forced = [&](const std::string& text) {
        if (!force) refuse(text + " (--force builds it all the same)");
        warn(text);
    };

    // The table as the bootstrapper fills it: its own two keys first, then
    // the entries in reading order, each key's first entry winning.
    archive::entry_table table;
    table.insert_if_absent("source", "C:\\Temp\\ZELT0");
    table.insert_if_absent("commandline", "");
    std::vector<std::pair<std::string, std::string>> files;  // file name, path
    for (const auto& e : entries) {
        if (!e.is_file) {
            table.insert_if_absent(e.key, e.value);
            continue;
        }
        std::string name = stored_file_name(e.value);
        for (const auto& [other, path] : files) {
            if (same_file_name(name, other))
                refuse_unless_forced("the files " + path + " and " + e.value + " have the same name \"" +
                                     printable(name) + "\"; the second overwrites the first at every run");
        }
        files.emplace_back(name, e.value);
        if (!e.key.empty()) table.insert_if_absent(e.key, name);
    }

    const std::string* executable = table.find("executable32");
    if (!executable) {
        refuse_unless_forced("no \"executable32\" value names the file to start (usually executable32=%installer32%)");
    } else {
        std::string target;
        try {
            target = archive::expand_references(table, *executable);
        } catch (const archive::expansion_error& e) {
            refuse(std::string("\"executable32\" cannot be expanded: ") + e.message());
        }
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const auto& file) { return same_file_name(file.first, target); });
        if (file == files.end())
            refuse_unless_forced("\"executable32\" = \"" + printable(*executable) + "\" names \"" + printable(target) +
                                 "\", which is no file of the archive");
        else if (!is_program(file->second))
            refuse_unless_forced("\"executable32\" names " + file->second +
                                 ", which is no program (a Windows executable); the bootstrapper starts it "
                                 "directly, without the shell");
    }

    if (const std::string* msilog = table.find("msilog"); msilog && *msilog != "ON")
        warn("\"msilog\" is \"" + printable(*msilog) + "\"; only exactly \"ON\" asks for the Windows Installer log");
    if (const std::string* parameters = table.find("parameters")) {
        if (std::count(parameters->begin(), parameters->end(), '"') % 2 != 0)
            warn("\"parameters\" has an unbalanced double quote: " + printable(*parameters));
        for (const std::string& key : unknown_references(table, *parameters))
            warn("\"parameters\" refers to %" + printable(key) + "%, which nothing sets; it stays as written");
    }
}

class progress_line {
public:
    progress_line(const streams& io, const char* verb, std::uint64_t total)
        : io_(io), verb_(verb), total_(total), shown_(io.progress && total >= progress_threshold) {}
    ~progress_line() {
        if (started_) std::fprintf(io_.err, "\n");
    }
    void update(std::uint64_t done) {
        if (!shown_ || total_ == 0) return;
        int percent = static_cast<int>(done * 100 / total_);
        if (percent == last_) return;
        last_ = percent;
        started_ = true;
        std::fprintf(io_.err, "\rchunkpack: %s %3d%%", verb_, percent);
        std::fflush(io_.err);
    }

private:
    const streams& io_;
    const char* verb_;
    std::uint64_t total_;
    bool shown_;
    bool started_ = false;
    int last_ = -1;
};

struct walk {
    archive::extraction_result result;
    bool complete = false;
    std::vector<archive::entry_event> events;
    // Where the archive has to end, and the commitment slot of the image.
    archive::pe::archive_bound bound;
    std::optional<archive::commitment_slot> slot;
    std::string slot_problem;  // a slot that looks wrong
    std::string table_problem;  // what the certificate table hides
};

std::string describe(const walk& w) {
    const archive::extraction_result& r = w.result;
    switch (r.outcome) {
        case archive::extraction_outcome::complete:
            return "complete";
        case archive::extraction_outcome::no_archive_end:
            if (w.bound.kind == archive::pe::archive_bound::type::unusable)
                return std::string("no archive tail can be read: ") + w.bound.reason;
            if (w.bound.kind == archive::pe::archive_bound::type::certificate_table)
                return "no archive tail found where the certificate table begins (offset " +
                       std::to_string(w.bound.table_offset) + ")";
            return "no archive tail found";
        case archive::extraction_outcome::read_failed:
            return "a chunk cannot be read (its length reaches before the start of the file or past its end) at offset " +
                   std::to_string(r.offset);
        case archive::extraction_outcome::digest_mismatch:
            return "digest mismatch in the chunk ending at offset " + std::to_string(r.offset);
        case archive::extraction_outcome::extract_failed:
            return "cannot extract " + r.path + ": " + r.error;
        case archive::extraction_outcome::commitment_mismatch:
            return "the chunks read do not match the commitment sealed in the installer's image";
        case archive::extraction_outcome::cancelled:
            return "cancelled";
    }
    return "unknown";
}


// The bootstrapper's walk over the installer at `path`, writing files
// through `output` into `directory` (ending with a separator). A sealed
// commitment must match, as at every run.
walk run_walk(const std::string& path, archive::output_sink& output, const std::string& directory, const streams& io,
              const std::function<void(const archive::entry_event&)>& each = {}) {
    archive::stdio_input input;
    open_input(input, path);
    walk w;
    w.bound = archive::pe::find_archive_bound(input);
    w.table_problem = archive::pe::certificate_table_problem(input, w.bound);
    try {
        w.slot = archive::find_commitment_slot(input);
    } catch (const archive::pe::format_error& e) {
        w.slot_problem = e.message();
    }
    archive::entry_table entries;
    std::unique_ptr<progress_line> progress;
    archive::extraction_context context{
        input,
        output,
        [](const std::string&, const std::string&) {},  // the outcome is described instead
        entries,
        w.complete,
        directory,
        [&](const archive::entry_event& e) {
            w.events.push_back(e);
            if (each) each(e);
        },
        [&](std::uint64_t done, std::uint64_t total) {
            if (!progress) progress = std::make_unique<progress_line>(io, "reading", total);
            progress->update(done);
            if (done == total) progress.reset();
        },
        {},
        w.slot && w.slot->sealed ? &w.slot->digest : nullptr};
    w.result = archive::extract_entries(path, context);
    return w;
}

// What stands between the walk and a sound installer, beside its outcome:
// a slot that looks wrong, bytes hidden in or behind the certificate table.
std::string installer_problem(const walk& w) {
    if (!w.slot_problem.empty()) return "the commitment slot looks wrong: " + w.slot_problem;
    if (!w.table_problem.empty()) return "bytes hidden in or behind the certificate table: " + w.table_problem;
    return std::string();
}

std::string describe_bound(const walk& w) {
    switch (w.bound.kind) {
        case archive::pe::archive_bound::type::file_end:
            return "none; the archive ends at the end of the file";
        case archive::pe::archive_bound::type::certificate_table:
            return "at offset " + std::to_string(w.bound.table_offset) + ", " + std::to_string(w.bound.table_size) +
                   " bytes; the archive ends where it begins";
        case archive::pe::archive_bound::type::unusable:
            return std::string("unusable: ") + w.bound.reason;
    }
    return "unknown";
}

std::string describe_commitment(const walk& w) {
    if (!w.slot_problem.empty()) return "the slot looks wrong: " + w.slot_problem;
    if (!w.slot) return "none; the stub has no slot, so the image is not bound to its archive";
    if (!w.slot->sealed) return "none; the stub's slot is empty, so the image is not bound to its archive";
    if (w.result.outcome == archive::extraction_outcome::commitment_mismatch)
        return "sealed; does NOT match the archive";
    if (w.result.outcome == archive::extraction_outcome::complete) return "sealed; matches the archive";
    return "sealed; not checked (the walk stopped first)";
}

}  // namespace

std::string brand_stub(const std::string& stub, const identity& brand, const std::string& out_path) {
    archive::identity_options options = brand.options;
    if (!brand.icon_path.empty()) {
        try {
            archive::stdio_input icon;
            open_input(icon, brand.icon_path);
            const std::uint64_t size = size_of(icon, brand.icon_path);
            if (size > archive::pe::max_resource_section) refuse(brand.icon_path + " is too large for an icon file");
            options.icon_file = read_whole(icon, size, brand.icon_path);
        } catch (const refusal& r) {
            throw archive::identity_error(r.message);
        }
    }
    if ((options.file_version || options.product_version) && !options.original_filename)
        options.original_filename = fs::path(out_path).filename().string();
    return archive::apply_identity(stub, options);
}

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

// The stub's image as it goes into the installer: branded first (that
// rewrites its resources), its commitment slot filled once the archive
// behind it has been written.
struct prepared_stub {
    std::string image;
    std::optional<archive::commitment_slot> slot;
};

std::string branded_image(const std::string& image, const identity& brand, const std::string& stub_path,
                          const std::string& out_path) {
    try {
        return brand_stub(image, brand, out_path);
    } catch (const archive::identity_error& e) {
        refuse(std::string("cannot brand the stub: ") + e.message());
    } catch (const archive::pe::format_error& e) {
        refuse("cannot brand " + stub_path + ": " + e.message());
    }
}

std::optional<archive::commitment_slot> slot_of(const std::string& image, const std::string& stub_path,
                                                const streams& io) {
    archive::memory_input input(image);
    std::optional<archive::commitment_slot> slot;
    try {
        slot = archive::find_commitment_slot(input);
    } catch (const archive::pe::format_error& e) {
        refuse(stub_path + " has a commitment slot that looks wrong: " + e.message());
    }
    if (!slot)
        std::fprintf(io.err, "chunkpack: warning: %s has no commitment slot; the installer's image will not be "
                             "bound to its archive\n",
                     stub_path.c_str());
    return slot;
}

void check_stub_size(std::uint64_t size, const std::string& stub_path) {
    if (size > archive::max_chunk_length)
        refuse(stub_path + " is " + std::to_string(size) + " bytes; the stub must stay below 2 GiB");
}

prepared_stub prepare_stub(const std::string& stub_path, const std::string& out_path, const identity& brand,
                           const streams& io) {
    archive::stdio_input stub;
    open_input(stub, stub_path);
    const std::uint64_t size = size_of(stub, stub_path);
    check_pe(stub, size, stub_path);
    if (holds_tail_chunk(stub, size)) refuse(stub_path + " already holds an archive tail");
    check_stub_size(size, stub_path);
    prepared_stub prepared{read_whole(stub, size, stub_path), std::nullopt};
    if (!brand.options.empty() || !brand.icon_path.empty())
        prepared.image = branded_image(prepared.image, brand, stub_path, out_path);
    check_stub_size(prepared.image.size(), stub_path);
    prepared.slot = slot_of(prepared.image, stub_path, io);
    return prepared;
}

// The entries as the writer packs them, with the files they read held open,
// and the installer's size they add up to.
struct packed_entries {
    std::vector<std::unique_ptr<archive::stdio_input>> sources;
    std::vector<archive::installer_entry> entries;
    std::uint64_t total = 0;
};

void pack_value(const build_entry& e, packed_entries& packed, const streams& io) {
    if (e.key == "source" || e.key == "commandline")
        std::fprintf(io.err, "chunkpack: warning: the bootstrapper sets \"%s\" itself and ignores this value\n",
                     e.key.c_str());
    if (e.value.size() > archive::max_chunk_length) refuse("the value of \"" + e.key + "\" is too long");
    packed.entries.push_back(archive::installer_entry::make_value(e.key, e.value));
    packed.total += e.value.size() + e.key.size() + 5 + 3 * 20;
}

void pack_file(const build_entry& e, packed_entries& packed) {
    const std::string name = stored_file_name(e.value);
    if (!bare_name_of(e.value))
        refuse("the file name \"" + printable(name) + "\" of " + e.value +
               " would be refused by the bootstrapper (it must be a bare name, not a device name)");
    auto source = std::make_unique<archive::stdio_input>();
    open_input(*source, e.value);
    const std::uint64_t size = size_of(*source, e.value);
    if (size > archive::max_chunk_length)
        refuse(e.value + " is " + std::to_string(size) + " bytes; a file must stay below 2 GiB");
    packed.entries.push_back(archive::installer_entry::make_file(e.key, name, *source));
    packed.sources.push_back(std::move(source));
    packed.total += size + name.size() + e.key.size() + 4 + 4 * 20;
}

packed_entries pack_entries(const std::vector<build_entry>& entries, const std::string& stub_name,
                            std::uint64_t image_size, const streams& io) {
    packed_entries packed;
    // The stub entry, its key and the tail around the entries.
    packed.total = image_size + 20 + stub_name.size() + 20 + 2 * (4 + 20) + archive::tail_marker.size() + 20;
    std::set<std::string> keys;
    for (const build_entry& e : entries) {
        // An empty key of a file entry records nothing, so it cannot collide.
        if ((!e.is_file || !e.key.empty()) && !keys.insert(e.key).second)
            std::fprintf(io.err, "chunkpack: warning: key \"%s\" is given more than once; the first one wins\n",
                         printable(e.key).c_str());
        if (e.is_file)
            pack_file(e, packed);
        else
            pack_value(e, packed, io);
    }
    if (packed.total > archive::max_archive_size)
        refuse("the installer would be " + std::to_string(packed.total) + " bytes; it must stay below 4 GiB");
    return packed;
}

// The image sealed, written over its first version, and the image chunk's
// stored digest rewritten to match (the image chunk's length field stays).
void seal_written_image(std::FILE* out, prepared_stub& stub, const archive::commitment_digest& commitment,
                        const std::string& path) {
    archive::seal_image(stub.image, stub.slot->offset, commitment);
    const archive::md5::digest_type digest = archive::md5(stub.image).digest();
    const bool patched = std::fseek(out, 0, SEEK_SET) == 0 &&
                         std::fwrite(stub.image.data(), 1, stub.image.size(), out) == stub.image.size() &&
                         std::fseek(out, static_cast<long>(stub.image.size() + 4), SEEK_SET) == 0 &&
                         std::fwrite(digest.data(), 1, digest.size(), out) == digest.size();
    if (!patched) refuse("writing " + path + " failed: " + std::strerror(errno));
}

void write_installer_file(const std::string& path, prepared_stub& stub, const std::string& stub_name,
                          packed_entries& packed, const streams& io) {
    unique_file out(std::fopen(path.c_str(), "w+b"));
    if (!out) refuse("cannot create " + path + ": " + std::strerror(errno));
    progress_line progress(io, "writing", packed.total);
    archive::chunk_writer writer([&](const char* data, std::size_t count) {
        return std::fwrite(data, 1, count, out.get()) == count;
    });
    writer.set_progress([&](std::uint64_t written) { progress.update(written); });
    archive::memory_input image_input(stub.image);
    const archive::commitment_digest commitment =
        archive::write_installer(writer, image_input, stub_name, packed.entries);
    if (stub.slot) seal_written_image(out.get(), stub, commitment, path);
    if (std::fclose(out.release()) != 0) refuse("writing " + path + " failed: " + std::strerror(errno));
}

}  // namespace

int build(const std::string& stub_path, const std::string& out_path, const std::vector<build_entry>& entries,
          const streams& io, bool force, const identity& brand) {
    const std::string temp_path = out_path + ".chunkpack-partial";
    try {
        prepared_stub stub = prepare_stub(stub_path, out_path, brand, io);
        const std::string stub_name = stored_file_name(stub_path);
        packed_entries packed = pack_entries(entries, stub_name, stub.image.size(), io);
        check_entries(entries, io, force);
        write_installer_file(temp_path, stub, stub_name, packed, io);
        std::error_code ec;
        fs::rename(temp_path, out_path, ec);
        if (ec) refuse("cannot rename " + temp_path + " to " + out_path + ": " + ec.message());
        return exit_ok;
    } catch (const refusal& r) {
        std::fprintf(io.err, "chunkpack: %s\n", r.message.c_str());
    } catch (const archive::pack_error& e) {
        std::fprintf(io.err, "chunkpack: %s\n", e.message());
    } catch (const archive::pe::format_error& e) {
        std::fprintf(io.err, "chunkpack: %s\n", e.message());
    }
    std::remove(temp_path.c_str());
    return exit_refused;
}

namespace {

std::string version_string(const std::array<std::uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

// The identity in the installer's resources, or why they cannot be read
// (the archive may still be fine).
struct identity_reading {
    std::optional<archive::installer_identity> identity;
    std::string problem;
};

identity_reading read_identity_of(const std::string& installer_path) {
    archive::stdio_input input;
    open_input(input, installer_path);
    try {
        return {archive::read_identity(archive::pe::read_image(input), input), {}};
    } catch (const archive::pe::format_error& e) {
        return {std::nullopt, e.message()};
    }
}

void print_version(const archive::installer_identity& identity, const streams& io) {
    char translation[64];
    std::snprintf(translation, sizeof translation, "language %04x, code page %u", identity.translation & 0xffff,
                  identity.translation >> 16);
    std::fprintf(io.out, "%-8s file %s, product %s, %s\n", "version", version_string(identity.file_version).c_str(),
                 version_string(identity.product_version).c_str(), translation);
    for (const auto& [key, text] : identity.version_texts)
        std::fprintf(io.out, "%-8s \"%s\" = \"%s\"\n", "version", printable(key).c_str(), printable(text).c_str());
}

void print_identity(const identity_reading& reading, const streams& io) {
    if (!reading.identity) {
        std::fprintf(io.out, "%-8s unreadable: %s\n", "identity", reading.problem.c_str());
        return;
    }
    const archive::installer_identity& identity = *reading.identity;
    if (identity.has_version) print_version(identity, io);
    if (identity.vendor_name)
        std::fprintf(io.out, "%-8s vendor (2001) = \"%s\"\n", "name", printable(*identity.vendor_name).c_str());
    if (identity.product_name)
        std::fprintf(io.out, "%-8s product (2002) = \"%s\"\n", "name", printable(*identity.product_name).c_str());
    if (!identity.icon_images.empty()) {
        std::string images;
        for (const auto& [width, height, bits] : identity.icon_images)
            images += (images.empty() ? "" : ", ") + std::to_string(width ? width : 256) + "x" +
                      std::to_string(height ? height : 256) + " " + std::to_string(bits) + "-bit";
        std::fprintf(io.out, "%-8s %zu images: %s\n", "icon", identity.icon_images.size(), images.c_str());
    }
}

void print_entry(const archive::entry_event& e, const streams& io) {
    switch (e.kind) {
        case archive::entry_event::type::tail:
            std::fprintf(io.out, "%-6s %-40s digest ok\n", "tail", "");
            break;
        case archive::entry_event::type::value:
            std::fprintf(io.out, "%-6s %-40s digest ok\n", "value",
                         ("\"" + printable(e.key) + "\" = \"" + printable(e.value) + "\"").c_str());
            break;
        case archive::entry_event::type::file:
            std::fprintf(io.out, "%-6s %-40s digest ok\n", "file",
                         ("\"" + printable(e.key) + "\" = " + printable(e.value) + " (" + std::to_string(e.size) +
                          " bytes)")
                             .c_str());
            break;
        case archive::entry_event::type::stub:
            std::fprintf(io.out, "%-6s %-40s digest ok\n", "stub", ("\"" + printable(e.key) + "\"").c_str());
            break;
        case archive::entry_event::type::other:
            std::fprintf(io.out, "%-6s %-40s digest ok (unknown kind, ignored)\n", "other",
                         ("\"" + printable(e.kind_text) + "\" \"" + printable(e.key) + "\"").c_str());
            break;
    }
}

// Why the installer fails list and verify; empty when it passes.
std::string failure_of(const walk& w) {
    if (w.result.outcome != archive::extraction_outcome::complete) return describe(w);
    if (!w.complete) return "the first chunk read is not the tail chunk";
    return installer_problem(w);
}

const char* stop_reason(archive::extraction_outcome outcome) {
    switch (outcome) {
        case archive::extraction_outcome::complete: return "";
        case archive::extraction_outcome::no_archive_end: return "no_archive_end";
        case archive::extraction_outcome::read_failed: return "read_failed";
        case archive::extraction_outcome::digest_mismatch: return "digest_mismatch";
        case archive::extraction_outcome::extract_failed: return "extract_failed";
        case archive::extraction_outcome::commitment_mismatch: return "commitment_mismatch";
        // Only a progress observer stops a walk this way; chunkpack's have none.
        case archive::extraction_outcome::cancelled: return "cancelled";
    }
    return "unknown";
}

const char* commitment_state(const walk& w) {
    if (!w.slot_problem.empty()) return "malformed";
    if (!w.slot) return "no_slot";
    if (!w.slot->sealed) return "empty_slot";
    if (w.result.outcome == archive::extraction_outcome::commitment_mismatch) return "mismatch";
    if (w.result.outcome == archive::extraction_outcome::complete) return "matches";
    return "unchecked";
}

installer_report report_of(const std::string& installer_path, identity_reading reading, walk w) {
    installer_report report;
    report.installer = installer_path;
    report.identity = std::move(reading.identity);
    report.identity_problem = std::move(reading.problem);
    report.entries = std::move(w.events);
    const auto outcome = w.result.outcome;
    report.stop_reason = stop_reason(outcome);
    if (outcome == archive::extraction_outcome::read_failed || outcome == archive::extraction_outcome::digest_mismatch)
        report.stop_offset = w.result.offset;
    if (outcome != archive::extraction_outcome::complete) report.stop_message = describe(w);
    report.bound = w.bound;
    report.hidden = w.table_problem;
    report.commitment_state = commitment_state(w);
    report.commitment_text = describe_commitment(w);
    report.archive_complete = w.complete && outcome == archive::extraction_outcome::complete;
    report.failure = failure_of(w);
    return report;
}

// list --json and verify --json: one document, whatever the verdict, and
// the error object when the installer fails.
int inspect_json(const char* command, const std::string& installer_path, const streams& io) {
    try {
        identity_reading reading = read_identity_of(installer_path);
        archive::discarding_output output;
        const installer_report report = report_of(installer_path, std::move(reading), run_walk(installer_path, output, "", io));
        std::fputs(installer_document(report).c_str(), io.out);
        if (report.failure.empty()) return exit_ok;
        std::fputs(error_document(command, installer_path, exit_failed, report.failure).c_str(), io.err);
    } catch (const refusal& r) {
        std::fputs(error_document(command, installer_path, exit_failed, r.message).c_str(), io.err);
    }
    return exit_failed;
}

void print_summary(const walk& w, const streams& io) {
    if (w.result.outcome != archive::extraction_outcome::complete)
        std::fprintf(io.out, "stopped: %s\n", describe(w).c_str());
    std::fprintf(io.out, "certificate table: %s\n", describe_bound(w).c_str());
    if (!w.table_problem.empty())
        std::fprintf(io.out, "hidden in or behind the certificate table: %s\n", w.table_problem.c_str());
    std::fprintf(io.out, "commitment: %s\n", describe_commitment(w).c_str());
    const bool complete = w.complete && w.result.outcome == archive::extraction_outcome::complete;
    std::fprintf(io.out, "archive complete: %s\n", complete ? "yes" : "no");
}

}  // namespace

int list(const std::string& installer_path, const streams& io, output_format format) {
    if (format == output_format::json) return inspect_json("list", installer_path, io);
    try {
        print_identity(read_identity_of(installer_path), io);
        archive::discarding_output output;
        const walk w = run_walk(installer_path, output, "", io, [&](const archive::entry_event& e) { print_entry(e, io); });
        print_summary(w, io);
        return failure_of(w).empty() ? exit_ok : exit_failed;
    } catch (const refusal& r) {
        std::fprintf(io.err, "chunkpack: %s\n", r.message.c_str());
        return exit_failed;
    }
}

int verify(const std::string& installer_path, const streams& io, output_format format) {
    if (format == output_format::json) return inspect_json("verify", installer_path, io);
    try {
        archive::discarding_output output;
        const walk w = run_walk(installer_path, output, "", io);
        if (const std::string failure = failure_of(w); !failure.empty()) {
            std::fprintf(io.err, "chunkpack: %s: %s\n", installer_path.c_str(), failure.c_str());
            return exit_failed;
        }
        std::fprintf(io.out, "%s: ok, %zu entries, archive complete, %s\n", installer_path.c_str(), w.events.size(),
                     w.slot && w.slot->sealed ? "commitment matches" : "no commitment");
        return exit_ok;
    } catch (const refusal& r) {
        std::fprintf(io.err, "chunkpack: %s\n", r.message.c_str());
        return exit_failed;
    }
}

int extract(const std::string& installer_path, const std::string& directory, const streams& io) {
    try {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (!fs::is_directory(directory, ec)) refuse("cannot create the directory " + directory);
        std::string prefix = directory;
#if defined(_WIN32)
        if (prefix.empty() || (prefix.back() != '\\' && prefix.back() != '/')) prefix += '\\';
#else
        if (prefix.empty() || prefix.back() != '/') prefix += '/';
#endif
        archive::stdio_output output;
        walk w = run_walk(installer_path, output, prefix, io, [&](const archive::entry_event& e) {
            if (e.kind == archive::entry_event::type::value)
                std::fprintf(io.out, "value \"%s\" = \"%s\"\n", printable(e.key).c_str(), printable(e.value).c_str());
            else if (e.kind == archive::entry_event::type::file)
                std::fprintf(io.out, "file  \"%s\" -> %s%s (%llu bytes)\n", printable(e.key).c_str(), prefix.c_str(),
                             printable(e.value).c_str(), static_cast<unsigned long long>(e.size));
        });
        if (w.result.outcome != archive::extraction_outcome::complete || !w.complete) {
            std::fprintf(io.err, "chunkpack: %s: %s\n", installer_path.c_str(),
                         w.complete || w.result.outcome != archive::extraction_outcome::complete
                             ? describe(w).c_str()
                             : "the first chunk read is not the tail chunk");
            return exit_failed;
        }
        return exit_ok;
    } catch (const refusal& r) {
        std::fprintf(io.err, "chunkpack: %s\n", r.message.c_str());
        return exit_failed;
    }
}

}  // namespace chunkpack
