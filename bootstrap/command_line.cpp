#include "bootstrap/command_line.hpp"

#include <utility>

#include "bootstrap/process_state.hpp"

namespace bootstrap {

std::string passthrough_properties;

namespace {

const std::string property_switch = "/V";
const std::string quoted_property_switch = "/V\"";
const std::string next_switch = " /";

// Only ASCII letters change: bytes of other code-page characters must keep
// their positions and values, so that positions in the copy match the
// original.
std::string ascii_upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Expands the value of `key` as the reference %key% would be expanded, so
// that a reference back to `key` inside its own value counts as a cycle and
// stays unexpanded instead of being copied in once.
std::string expand_entry(archive::entry_table& table, const std::string& key) {
    table.lookup_or_create(key);
    return archive::expand_references(table, "%" + key + "%");
}

// The first quote at or after `from` that ends a quoted "/V" value. A quote
// after an odd number of backslashes is written inside the value (\" is how
// MSI properties quote a path with blanks) and does not end it; after an even
// number the backslashes are the value's own and the quote ends it.
std::size_t closing_quote(const std::string& text, std::size_t from) {
    for (std::size_t e = text.find('"', from); e != std::string::npos; e = text.find('"', e + 1)) {
        std::size_t backslashes = 0;
        while (e - backslashes > from && text[e - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return e;
    }
    return std::string::npos;
}

}  // namespace

std::wstring_view arguments_after_program_name(std::wstring_view command_line) noexcept {
    std::size_t at = 0;
    for (bool quoted = false; at < command_line.size() && (command_line[at] > L' ' || quoted); ++at)
        if (command_line[at] == L'"') quoted = !quoted;
    while (at < command_line.size() && command_line[at] <= L' ') ++at;
    return command_line.substr(at);
}

std::string parent_directory(const std::string& working_directory) {
    if (working_directory.size() < 2) return working_directory;
    std::size_t cut = working_directory.rfind('\\', working_directory.size() - 2);
    return working_directory.substr(0, cut);
}

std::string launch_directory(const std::string& working_directory) {
    std::string parent = parent_directory(working_directory);
    // "D:" alone names the current directory of drive D, not its root.
    if (parent.size() == 2 && parent[1] == ':') parent += '\\';
    return parent;
}

std::string msi_log_path(const std::string& working_directory) {
    return parent_directory(working_directory) + msi_log_file_name;
}

void split_property_switch(archive::entry_table& table, std::string& passthrough,
                           const std::string& command_line) noexcept {
    try {
        std::string rest = command_line;
        std::string value;
        const std::string search = ascii_upper(command_line);
        if (std::size_t q = search.find(quoted_property_switch); q != std::string::npos) {
            std::size_t e = closing_quote(search, q + quoted_property_switch.size());
            value = command_line.substr(q + 3, e == std::string::npos ? std::string::npos : e - (q + 3));
            rest.erase(q, e == std::string::npos ? std::string::npos : e + 1 - q);
        } else if (std::size_t p = search.find(property_switch); p != std::string::npos) {
            std::size_t e = search.find(next_switch, p);
            std::size_t length = e == std::string::npos ? std::string::npos : e - p;
            value = command_line.substr(p + 2, length == std::string::npos ? length : length - 2);
            rest.erase(p, length);
        }
        std::string& stored = table.lookup_or_create("commandline");
        passthrough.swap(value);
        stored.swap(rest);
    } catch (...) {
        try {
            passthrough.clear();
            table.lookup_or_create("commandline") = command_line;
        } catch (...) {
            // Out of memory even for the plain copy: the run goes on with
            // whatever "commandline" holds.
        }
    }
}

void split_property_switch(const std::string& command_line) noexcept {
    split_property_switch(archive::process_entries(), passthrough_properties, command_line);
}

void merge_parameters(archive::entry_table& table, const std::string& passthrough) noexcept {
    try {
        std::string& stored = table.lookup_or_create("parameters");
        std::string p = stored;
        if (std::size_t q = p.find(quoted_property_switch); q != std::string::npos) {
            p.insert(q + 3, passthrough + " ");
        } else if (std::size_t s = p.find(property_switch); s != std::string::npos) {
            p.insert(s + 2, "\"" + passthrough + "\"");
        } else {
            p += quoted_property_switch + passthrough + "\"";
        }
        std::string merged = table.lookup_or_create("commandline") + " " + p;
        stored.swap(merged);
    } catch (...) {
        // "parameters" is only replaced once the merged text is complete.
    }
}

void merge_parameters() noexcept { merge_parameters(archive::process_entries(), passthrough_properties); }

void add_msi_log_switch(archive::entry_table& table, const std::string& working_directory,
                        const attribute_reset& reset_attributes) noexcept {
    try {
        if (table.lookup_or_create("msilog") != "ON") return;
        const std::string log_path = msi_log_path(working_directory);
        if (reset_attributes) reset_attributes(log_path);
        std::string& stored = table.lookup_or_create("parameters");
        std::string p = stored;
        if (std::size_t q = p.find(quoted_property_switch); q != std::string::npos) {
            p.insert(q + 3, "/l*v \\\"" + log_path + "\\\" ");
        } else if (std::size_t s = p.find(property_switch); s != std::string::npos) {
            p.insert(s + 2, "\"/l*v \\\"" + log_path + "\\\"\"");
        } else {
            p += "/V\"/l*v \\\"" + log_path + "\\\"\"";
        }
        stored.swap(p);
    } catch (...) {
        // "parameters" is only replaced once the new text is complete.
    }
}

void add_msi_log_switch(const attribute_reset& reset_attributes) noexcept {
    add_msi_log_switch(archive::process_entries(), archive::working_directory, reset_attributes);
}

std::string payload_parameters(archive::entry_table& table) { return expand_entry(table, "parameters"); }

std::string payload_parameters() { return payload_parameters(archive::process_entries()); }

std::string payload_path(archive::entry_table& table, const std::string& working_directory) {
    return working_directory + expand_entry(table, "executable32");
}

std::string payload_path() { return payload_path(archive::process_entries(), archive::working_directory); }

std::wstring payload_command_line(const std::wstring& path, const std::wstring& parameters) {
    if (path.find(L'"') != std::wstring::npos) return std::wstring();
    std::wstring line = L"\"" + path + L"\"";
    if (!parameters.empty()) line.append(L" ").append(parameters);
    return line;
}

namespace {

bool same_name(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size()) return false;
    auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

}  // namespace

std::wstring environment_with(std::wstring_view block, std::wstring_view name, std::wstring_view value) {
    std::wstring result;
    bool replaced = false;
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t end = block.find(L'\0', at);
        if (end == std::wstring_view::npos || end == at) break;
        const std::wstring_view entry = block.substr(at, end - at);
        const std::size_t equals = entry.find(L'=', 1);
        at = end + 1;
        if (equals != std::wstring_view::npos && same_name(entry.substr(0, equals), name)) {
            if (replaced) continue;  // a second spelling of the name goes
            result.append(name).append(L"=").append(value);
            replaced = true;
        } else {
            result.append(entry);
        }
        result.push_back(L'\0');
    }
    if (!replaced) result.append(name).append(L"=").append(value).push_back(L'\0');
    result.push_back(L'\0');
    return result;
}

}  // namespace bootstrap
