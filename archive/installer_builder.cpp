#include "archive/installer_builder.hpp"

namespace archive {

installer_entry installer_entry::make_value(std::string key, std::string value) {
    installer_entry e;
    e.kind = kind_type::value;
    e.key = std::move(key);
    e.value = std::move(value);
    return e;
}

installer_entry installer_entry::make_file(std::string key, std::string file_name, std::string data) {
    installer_entry e;
    e.kind = kind_type::file;
    e.key = std::move(key);
    e.value = std::move(file_name);
    e.data = std::move(data);
    return e;
}

installer_entry installer_entry::make_file(std::string key, std::string file_name, seekable_input& source) {
    installer_entry e;
    e.kind = kind_type::file;
    e.key = std::move(key);
    e.value = std::move(file_name);
    e.source = &source;
    return e;
}

void write_stub_entry(chunk_writer& out, seekable_input& image, std::string_view stub_name) {
    std::uint64_t size = 0;
    if (!image.size(size)) throw pack_error("the stub's size cannot be read: " + image.failure_text());
    out.chunk_from(image, 0, size);
    out.chunk(stub_name);
    out.chunk("stub");
    out.chunk("stub");
}

void write_stub_entry(chunk_writer& out, std::string_view image, std::string_view stub_name) {
    memory_input input(image);
    write_stub_entry(out, input, stub_name);
}

void write_value_entry(chunk_writer& out, std::string_view key, std::string_view value) {
    out.chunk(value);
    out.chunk(key);
    out.chunk("value");
}

void write_file_entry(chunk_writer& out, const installer_entry& entry) {
    if (entry.source) {
        std::uint64_t size = 0;
        if (!entry.source->size(size))
            throw pack_error("the size of " + entry.value + " cannot be read: " + entry.source->failure_text());
        out.chunk_from(*entry.source, 0, size);
    } else {
        out.chunk(entry.data);
    }
    out.chunk(entry.value);
    out.chunk(entry.key);
    out.chunk("file");
}

void write_bare_entry(chunk_writer& out, std::string_view kind, std::string_view key) {
    out.chunk(key);
    out.chunk(kind);
}

void write_tail(chunk_writer& out) { out.chunk(tail_marker); }

void write_installer(chunk_writer& out, seekable_input& stub, std::string_view stub_name,
                     const std::vector<installer_entry>& entries) {
    write_stub_entry(out, stub, stub_name);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (it->kind == installer_entry::kind_type::value)
            write_value_entry(out, it->key, it->value);
        else
            write_file_entry(out, *it);
    }
    write_tail(out);
}

std::string build_installer(std::string_view stub, std::string_view stub_name,
                            const std::vector<installer_entry>& entries) {
    std::string bytes;
    chunk_writer out([&](const char* data, std::size_t count) {
        bytes.append(data, count);
        return true;
    });
    memory_input input(stub);
    write_installer(out, input, stub_name, entries);
    return bytes;
}

}  // namespace archive
