// Fuzz target for the payload's command line: split_property_switch,
// merge_parameters, add_msi_log_switch, payload_parameters and payload_path
// over arbitrary command lines and entry tables.
//
// Input: fields separated by NUL bytes (a Windows command line holds none):
// flags, command line, "parameters", "msilog", "executable32", working
// directory, then key, value pairs for further entries. A flag bit leaves the
// matching archive key out of the table.
//
// Properties, on every input:
// - no crash, no sanitizer report, no exception but expansion_error from the
//   two expanding operations and none from the three rewriting ones;
// - split: without "/V" (either case) the command line is stored unchanged
//   and nothing passes through; otherwise "commandline" is the command line
//   with one range cut out that begins at the first quoted switch (or, with
//   none, the first switch), and the pass-through text is a substring of the
//   command line inside that range;
// - merge: the archive's value keeps every byte, with the pass-through text
//   put into its first "/V" switch, behind "commandline" and one blank; and,
//   round trip, a command line carrying the merged text gives the same
//   pass-through text back to a payload that splits it the same way;
// - log switch: nothing changes unless "msilog" is exactly "ON"; then the
//   switch naming msi_log_path goes into the first "/V" and nothing else
//   changes;
// - expansion: bounded output; a text without "%" is unchanged; the result
//   equals a plain recursive expansion written from the rules (differential);
//   payload_path is the working directory followed by the expanded
//   "executable32"; neither changes the table's entries;
// - the forms over the process-wide state agree with the explicit ones.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive/entry_table.hpp"
#include "bootstrap/command_line.hpp"
#include "bootstrap/process_state.hpp"

namespace {

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_command_line: property violated: %s: [%s]\n", what, detail.c_str());
    std::abort();
}

void check(bool holds, const char* what, const std::string& detail) {
    if (!holds) violated(what, detail);
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

struct budget_exceeded {};

// Reference expansion, recursive and written straight from the rules: the
// first "%", skip a run of "%", the key up to the next "%"; a present key
// that is not being expanded already is replaced by its expanded value and
// the scan goes on after the insert; otherwise the closing "%" opens the next
// reference. Gives up (budget_exceeded) on texts too large to compare.
std::string reference_expand(const archive::entry_table& table, std::string text, std::set<std::string>& active,
                             std::size_t& work) {
    std::size_t pos = text.find('%');
    while (pos != std::string::npos) {
        std::size_t key_begin = pos;
        while (key_begin < text.size() && text[key_begin] == '%') ++key_begin;
        if (key_begin >= text.size()) break;
        std::size_t close = text.find('%', key_begin);
        if (close == std::string::npos) break;
        std::string key = text.substr(key_begin, close - key_begin);
        const std::string* value = table.find(key);
        if (value && !active.count(key)) {
            // Work counted in bytes moved: a long text with many
            // substitutions costs its length each time.
            work += text.size() + value->size();
            if (work > (std::size_t(1) << 22)) throw budget_exceeded{};
            active.insert(key);
            std::string expanded = reference_expand(table, *value, active, work);
            active.erase(key);
            text.replace(key_begin - 1, close + 1 - (key_begin - 1), expanded);
            if (text.size() > 256 * 1024) throw budget_exceeded{};
            pos = text.find('%', key_begin - 1 + expanded.size());
        } else {
            pos = close;
        }
    }
    return text;
}

// The real expansion against the reference; both through the entry of `key`
// as the bootstrapper expands it.
void check_expansion(const archive::entry_table& table, const std::string& text, const std::string& real) {
    check(real.size() <= archive::max_expanded_size, "expansion bound", std::to_string(real.size()));
    if (text.find('%') == std::string::npos) check(real == text, "text without % changed", text);
    std::set<std::string> active;
    std::size_t work = 0;
    try {
        std::string expected = reference_expand(table, text, active, work);
        check(real == expected, "expansion differs from the reference", text);
    } catch (const budget_exceeded&) {
    }
}

// The switch split is checked both ways an escaped quote inside a quoted
// switch could be read: where the command line holds no backslash the two
// readings agree, so the exact cut is checked only there.
void check_split(const std::string& command_line, const std::string& rest, const std::string& passthrough) {
    const std::string search = upper(command_line);
    const std::size_t quoted = search.find("/V\"");
    const std::size_t plain = search.find("/V");
    if (plain == std::string::npos) {
        check(rest == command_line, "command line without /V changed", command_line);
        check(passthrough.empty(), "pass-through without /V", command_line);
        return;
    }
    const std::size_t a = quoted != std::string::npos ? quoted : plain;
    // One range [a, b) cut out.
    check(rest.size() <= command_line.size() - 2, "switch not removed", command_line);
    check(rest.compare(0, a, command_line, 0, a) == 0, "text before the switch changed", command_line);
    const std::size_t b = a + (command_line.size() - rest.size());
    check(rest.compare(a, std::string::npos, command_line, b, std::string::npos) == 0,
          "text after the switch changed", command_line);
    const std::string removed = command_line.substr(a, b - a);
    check(removed.find(passthrough, 2) != std::string::npos, "pass-through not inside the removed switch",
          command_line);

    if (quoted == std::string::npos) {
        std::size_t e = search.find(" /", plain);
        check(b == (e == std::string::npos ? command_line.size() : e), "unquoted switch end", command_line);
        check(passthrough == command_line.substr(a + 2, b - a - 2), "unquoted pass-through", command_line);
    } else if (command_line.find('\\') == std::string::npos) {
        std::size_t e = command_line.find('"', a + 3);
        check(b == (e == std::string::npos ? command_line.size() : e + 1), "quoted switch end", command_line);
        check(passthrough == command_line.substr(a + 3, (e == std::string::npos ? command_line.size() : e) - a - 3),
              "quoted pass-through", command_line);
    }
}

void check_merge(const std::string& commandline, const std::string& before, const std::string& passthrough,
                 const std::string& after) {
    std::string expected_value;
    if (std::size_t q = before.find("/V\""); q != std::string::npos)
        expected_value = before.substr(0, q + 3) + passthrough + " " + before.substr(q + 3);
    else if (std::size_t p = before.find("/V"); p != std::string::npos)
        expected_value = before.substr(0, p + 2) + "\"" + passthrough + "\"" + before.substr(p + 2);
    else
        expected_value = before + "/V\"" + passthrough + "\"";
    check(after == commandline + " " + expected_value, "merged parameters", after);

    // Round trip: when the merged text's first switch is the one that carries
    // the pass-through text, the payload splitting its own command line the
    // same way receives that text again (followed, for an archive switch
    // that was quoted, by its own properties).
    if (passthrough.find_first_of("\"\\") != std::string::npos) return;
    if (upper(commandline).find("/V") != std::string::npos) return;
    const std::string search = upper(before);
    const std::size_t any = search.find("/V");
    archive::entry_table again;
    std::string received;
    if (any == std::string::npos) {
        bootstrap::split_property_switch(again, received, after);
        check(received == passthrough, "round trip through the payload's split", after);
    } else if (before.find("/V\"") == any && search.find("/V\"") == any) {
        bootstrap::split_property_switch(again, received, after);
        check(received.compare(0, passthrough.size() + 1, passthrough + " ") == 0,
              "round trip through the payload's split", after);
    }
}

void check_log_switch(const std::string& msilog, const std::string& working_directory, const std::string& before,
                      const std::string& after, const std::vector<std::string>& resets) {
    if (msilog != "ON") {
        check(after == before, "parameters changed without msilog ON", msilog);
        check(resets.empty(), "attributes reset without msilog ON", msilog);
        return;
    }
    const std::string log = bootstrap::msi_log_path(working_directory);
    check(resets.size() == 1 && resets[0] == log, "attribute reset of the log path", log);
    std::string expected;
    if (std::size_t q = before.find("/V\""); q != std::string::npos)
        expected = before.substr(0, q + 3) + "/l*v \\\"" + log + "\\\" " + before.substr(q + 3);
    else if (std::size_t p = before.find("/V"); p != std::string::npos)
        expected = before.substr(0, p + 2) + "\"/l*v \\\"" + log + "\\\"\"" + before.substr(p + 2);
    else
        expected = before + "/V\"/l*v \\\"" + log + "\\\"\"";
    check(after == expected, "log switch", after);
}

std::vector<std::string> fields(std::string_view bytes) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = bytes.find('\0', start);
        out.emplace_back(bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return out;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    auto f = fields(std::string_view(reinterpret_cast<const char*>(data), size));
    f.resize(std::max<std::size_t>(f.size(), 6));
    const unsigned flags = f[0].empty() ? 0u : static_cast<unsigned char>(f[0][0]);
    const std::string& command_line = f[1];
    const std::string& working_directory = f[5];

    archive::entry_table table;
    // Keys set before extraction, as the run does, then the archive's.
    table.lookup_or_create("source") = working_directory.substr(0, working_directory.size() - (working_directory.empty() ? 0 : 1));
    std::string passthrough = "stale";
    bootstrap::split_property_switch(table, passthrough, command_line);
    const std::string commandline = *table.find("commandline");
    check_split(command_line, commandline, passthrough);

    if (!(flags & 1)) table.insert_if_absent("parameters", f[2]);
    if (!(flags & 2)) table.insert_if_absent("msilog", f[3]);
    if (!(flags & 4)) table.insert_if_absent("executable32", f[4]);
    for (std::size_t i = 6; i + 1 < f.size(); i += 2) table.insert_if_absent(f[i], f[i + 1]);

    const std::string* stored = table.find("parameters");
    const std::string parameters = stored ? *stored : std::string();
    {
        // The log switch on the archive's own value too: after a merge the
        // value always holds a quoted switch, so only here are its other
        // two forms reached.
        archive::entry_table unmerged = table;
        std::vector<std::string> resets;
        bootstrap::add_msi_log_switch(unmerged, working_directory,
                                      [&](const std::string& path) { resets.push_back(path); });
        check_log_switch(unmerged.lookup_or_create("msilog"), working_directory, parameters,
                         unmerged.lookup_or_create("parameters"), resets);
    }
    bootstrap::merge_parameters(table, passthrough);
    const std::string merged = *table.find("parameters");
    check_merge(commandline, parameters, passthrough, merged);

    std::vector<std::string> resets;
    bootstrap::add_msi_log_switch(table, working_directory,
                                  [&](const std::string& path) { resets.push_back(path); });
    check_log_switch(*table.find("msilog"), working_directory, merged, *table.find("parameters"), resets);

    const auto entries = table.entries();
    std::string parameters_result = "refused", path_result = "refused";
    try {
        parameters_result = bootstrap::payload_parameters(table);
        check_expansion(table, "%parameters%", parameters_result);
    } catch (const archive::expansion_error&) {
    }
    try {
        path_result = bootstrap::payload_path(table, working_directory);
        check(path_result.compare(0, working_directory.size(), working_directory) == 0, "payload path prefix",
              path_result);
        check_expansion(table, "%executable32%", path_result.substr(working_directory.size()));
    } catch (const archive::expansion_error&) {
    }
    // Asking for an absent "executable32" creates it empty; nothing else changes.
    auto expected_entries = entries;
    expected_entries.emplace("executable32", std::string());
    check(table.entries() == expected_entries, "expansion changed the table", "");

    // The forms over the process-wide state, in the run's order, give the
    // same table and the same results.
    archive::entry_table& process = archive::process_entries();
    process.clear();
    archive::working_directory = working_directory;
    bootstrap::passthrough_properties = "stale";
    process.lookup_or_create("source") = *table.find("source");
    bootstrap::split_property_switch(command_line);
    check(bootstrap::passthrough_properties == passthrough, "process-wide split", command_line);
    if (!(flags & 1)) process.insert_if_absent("parameters", f[2]);
    if (!(flags & 2)) process.insert_if_absent("msilog", f[3]);
    if (!(flags & 4)) process.insert_if_absent("executable32", f[4]);
    for (std::size_t i = 6; i + 1 < f.size(); i += 2) process.insert_if_absent(f[i], f[i + 1]);
    bootstrap::merge_parameters();
    bootstrap::add_msi_log_switch([](const std::string&) {});
    check(process.entries() == entries, "process-wide composition", "");
    std::string process_parameters = "refused", process_path = "refused";
    try {
        process_parameters = bootstrap::payload_parameters();
    } catch (const archive::expansion_error&) {
    }
    try {
        process_path = bootstrap::payload_path();
    } catch (const archive::expansion_error&) {
    }
    check(process_parameters == parameters_result && process_path == path_result, "process-wide expansion", "");
    return 0;
}
