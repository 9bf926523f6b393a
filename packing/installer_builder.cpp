#include "packing/installer_builder.hpp"

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

commitment_digest write_installer(chunk_writer& out, seekable_input& stub, std::string_view stub_name,
                                  const std::vector<installer_entry>& entries) {
    // Extraction stops at the stub entry's key: the image and file name
    // chunks before it are never read.
    const std::size_t first_read = out.records().size() + 2;
    write_stub_entry(out, stub, stub_name);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (it->kind == installer_entry::kind_type::value)
            write_value_entry(out, it->key, it->value);
        else
            write_file_entry(out, *it);
    }
    write_tail(out);
    return commitment_of(out.records(), first_read);
}

bool seal_installer(std::string& installer, std::size_t image_size, const commitment_digest& commitment) {
    if (image_size > installer.size() || installer.size() - image_size < chunk_overhead)
        throw pe::format_error("the installer is shorter than its image chunk");
    memory_input image_input(std::string_view(installer).substr(0, image_size));
    const std::optional<commitment_slot> slot = find_commitment_slot(image_input);
    if (!slot) return false;
    std::string image = installer.substr(0, image_size);
    seal_image(image, slot->offset, commitment);
    const md5::digest_type digest = md5(image).digest();
    installer.replace(0, image_size, image);
    installer.replace(image_size + 4, digest.size(), reinterpret_cast<const char*>(digest.data()), digest.size());
    return true;
}

std::string build_installer(std::string_view stub, std::string_view stub_name,
                            const std::vector<installer_entry>& entries) {
    std::string bytes;
    chunk_writer out([&](const char* data, std::size_t count) {
        bytes.append(data, count);
        return true;
    });
    memory_input input(stub);
    const commitment_digest commitment = write_installer(out, input, stub_name, entries);
    seal_installer(bytes, stub.size(), commitment);
    return bytes;
}

}  // namespace archive
