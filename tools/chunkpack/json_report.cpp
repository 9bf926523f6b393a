#include "json_report.hpp"

#include <nlohmann/json.hpp>

namespace chunkpack {

namespace {

// Fields keep the documented order.
using json = nlohmann::ordered_json;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Archive texts are bytes of the code page the installer is meant for. A
// text that is not UTF-8 is given with each such byte replaced by U+FFFD,
// and its exact bytes in hexadecimal as NAME_hex.
void put_text(json& object, const std::string& name, const std::string& bytes) {
    try {
        (void)json(bytes).dump();  // throws for bytes that are not UTF-8
        object[name] = bytes;
    } catch (const json::type_error&) {
        object[name] = json::parse(json(bytes).dump(-1, ' ', false, json::error_handler_t::replace));
        object[name + "_hex"] = hex(bytes);
    }
}

json optional_text(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

std::string version_string(const std::array<std::uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

json version_of(const archive::installer_identity& identity) {
    if (!identity.has_version) return nullptr;
    json texts = json::array();
    for (const auto& [name, value] : identity.version_texts) texts.push_back({{"name", name}, {"value", value}});
    return {{"file", version_string(identity.file_version)},
            {"product", version_string(identity.product_version)},
            {"language", identity.translation & 0xffff},
            {"code_page", identity.translation >> 16},
            {"texts", texts}};
}

json identity_of(const installer_report& report) {
    if (!report.identity) return {{"readable", false}, {"problem", report.identity_problem}};
    const archive::installer_identity& identity = *report.identity;
    json icons = json::array();
    for (const auto& [width, height, bits] : identity.icon_images)
        icons.push_back({{"width", width ? width : 256}, {"height", height ? height : 256}, {"bits", bits}});
    return {{"readable", true},
            {"vendor_name", optional_text(identity.vendor_name)},
            {"product_name", optional_text(identity.product_name)},
            {"version", version_of(identity)},
            {"icon_images", icons}};
}

const char* kind_name(archive::entry_event::type kind) {
    switch (kind) {
        case archive::entry_event::type::tail: return "tail";
        case archive::entry_event::type::value: return "value";
        case archive::entry_event::type::file: return "file";
        case archive::entry_event::type::stub: return "stub";
        case archive::entry_event::type::other: return "other";
    }
    return "other";
}

json entry_of(const archive::entry_event& e) {
    json entry = {{"kind", kind_name(e.kind)}};
    if (e.kind == archive::entry_event::type::other) put_text(entry, "kind_text", e.kind_text);
    if (e.kind != archive::entry_event::type::tail) put_text(entry, "key", e.key);
    if (e.kind == archive::entry_event::type::value) put_text(entry, "value", e.value);
    if (e.kind == archive::entry_event::type::file) {
        put_text(entry, "file_name", e.value);
        entry["size"] = e.size;
    }
    entry["digest"] = "ok";  // the walk reports an entry only once its chunks matched
    return entry;
}

json stopped_of(const installer_report& report) {
    if (report.stop_reason.empty()) return nullptr;
    return {{"reason", report.stop_reason},
            {"offset", report.stop_offset ? json(*report.stop_offset) : json(nullptr)},
            {"message", report.stop_message}};
}

json certificate_table_of(const installer_report& report) {
    using type = archive::pe::archive_bound::type;
    const auto& bound = report.bound;
    const bool present = bound.kind == type::certificate_table;
    return {{"state", present ? "present" : bound.kind == type::unusable ? "unusable" : "none"},
            {"offset", present ? json(bound.table_offset) : json(nullptr)},
            {"size", present ? json(bound.table_size) : json(nullptr)},
            {"reason", bound.kind == type::unusable ? json(bound.reason) : json(nullptr)},
            {"hidden", report.hidden.empty() ? json(nullptr) : json(report.hidden)}};
}

}  // namespace

std::string installer_document(const installer_report& report) {
    json entries = json::array();
    for (const archive::entry_event& e : report.entries) entries.push_back(entry_of(e));
    json document = {{"schema", "chunkpack.installer"}, {"schema_version", json_schema_version}};
    put_text(document, "installer", report.installer);
    document["identity"] = identity_of(report);
    document["entries"] = entries;
    document["stopped"] = stopped_of(report);
    document["certificate_table"] = certificate_table_of(report);
    document["commitment"] = {{"state", report.commitment_state}, {"description", report.commitment_text}};
    document["archive_complete"] = report.archive_complete;
    document["verdict"] = {{"ok", report.failure.empty()},
                           {"reason", report.failure.empty() ? json(nullptr) : json(report.failure)}};
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string error_document(const std::string& command, const std::string& installer, int exit_code,
                           const std::string& message) {
    json error = {{"schema", "chunkpack.error"}, {"schema_version", json_schema_version}};
    if (!command.empty()) error["command"] = command;
    if (!installer.empty()) put_text(error, "installer", installer);
    error["exit_code"] = exit_code;
    put_text(error, "message", message);
    return error.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace chunkpack
