#include "archive/entry_table.hpp"

#include <set>
#include <string_view>
#include <vector>

namespace archive {

bool entry_table::insert_if_absent(const std::string& key, const std::string& value) {
    return entries_.emplace(key, value).second;
}

std::string& entry_table::lookup_or_create(const std::string& key) { return entries_[key]; }

const std::string* entry_table::find(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

namespace {

// One text being expanded: the root text, or the value of a key whose
// reference is being replaced. Both outlive the frame (the root is the
// caller's copy, values belong to the table), and so does `key`, a view into
// the text of the frame below.
struct frame {
    std::string_view text;
    std::size_t pos = 0;  // where copying and the search for the next "%" resume
    std::string_view key;
};

}  // namespace

// The result is written front to back into one string: a text is copied up
// to a reference, the reference's value is expanded in its place, and the
// copy goes on behind the reference. Nothing already written moves again, so
// the work is the size of the result plus the texts scanned, whatever the
// nesting; replacing each reference inside a growing text instead costs the
// whole text per substitution, hours for a hostile command line.
std::string expand_references(const entry_table& table, std::string text) {
    if (text.find('%') == std::string::npos) return text;
    std::string out;
    std::vector<frame> stack{frame{text, 0, {}}};
    std::set<std::string_view> active;
    std::size_t substitutions = 0;
    // A text without any present reference comes back as it is, whatever
    // its length; what expansion adds is bounded.
    auto emit = [&](std::string_view piece) {
        if (substitutions != 0 && out.size() + piece.size() > max_expanded_size)
            throw expansion_error("expanded text exceeds " + std::to_string(max_expanded_size) + " bytes");
        out.append(piece);
    };

    while (!stack.empty()) {
        frame& top = stack.back();
        const std::string_view t = top.text;
        std::size_t open = t.find('%', top.pos);
        std::size_t key_begin = open;
        while (key_begin < t.size() && t[key_begin] == '%') ++key_begin;
        const std::size_t close = key_begin < t.size() ? t.find('%', key_begin) : std::string_view::npos;
        if (close == std::string_view::npos) {
            // No further reference: the rest stays as it is.
            emit(t.substr(top.pos));
            active.erase(top.key);
            stack.pop_back();
            continue;
        }
        const std::string_view key = t.substr(key_begin, close - key_begin);
        const std::string* value = table.find(std::string(key));
        if (!value || active.count(key) != 0) {
            // Absent key, or one that is being expanded already: the reference
            // stays and its closing "%" opens the next one.
            emit(t.substr(top.pos, close - top.pos));
            top.pos = close;
            continue;
        }
        if (++substitutions > max_substitutions)
            throw expansion_error("expansion needs more than " + std::to_string(max_substitutions) + " substitutions");
        // Of a run of "%" only the last one belongs to the reference.
        emit(t.substr(top.pos, key_begin - 1 - top.pos));
        top.pos = close + 1;
        active.insert(key);
        stack.push_back(frame{*value, 0, key});
    }
    return out;
}

}  // namespace archive
