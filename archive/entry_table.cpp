#include "archive/entry_table.hpp"

#include <set>
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
// reference [ref_begin, ref_end) is being replaced in the frame below it.
struct frame {
    std::string text;
    std::size_t pos;          // the "%" that opens the next candidate reference
    std::string key;          // empty for the root (never looked at there)
    std::size_t ref_begin = 0;  // in the parent: the "%" before the key
    std::size_t ref_end = 0;    // in the parent: one past the closing "%"
};

}  // namespace

std::string expand_references(const entry_table& table, std::string text) {
    std::vector<frame> stack;
    std::set<std::string> active;
    std::size_t first = text.find('%');
    stack.push_back(frame{std::move(text), first, std::string()});
    std::size_t substitutions = 0;

    for (;;) {
        frame& top = stack.back();
        bool pushed = false;
        while (top.pos != std::string::npos) {
            std::size_t key_begin = top.pos;
            while (key_begin < top.text.size() && top.text[key_begin] == '%') ++key_begin;
            if (key_begin >= top.text.size()) { top.pos = std::string::npos; break; }
            std::size_t close = top.text.find('%', key_begin);
            if (close == std::string::npos) { top.pos = std::string::npos; break; }
            std::string key = top.text.substr(key_begin, close - key_begin);
            const std::string* value = table.find(key);
            if (value && active.count(key) == 0) {
                if (++substitutions > max_substitutions)
                    throw expansion_error("expansion needs more than " +
                                          std::to_string(max_substitutions) + " substitutions");
                active.insert(key);
                frame child{*value, value->find('%'), key, key_begin - 1, close + 1};
                stack.push_back(std::move(child));
                pushed = true;
                break;
            }
            // Absent key, or one that is being expanded already: the reference
            // stays and its closing "%" opens the next one.
            top.pos = close;
        }
        if (pushed) continue;

        // The top frame is fully expanded.
        if (stack.size() == 1) return std::move(stack.back().text);
        frame done = std::move(stack.back());
        stack.pop_back();
        active.erase(done.key);
        frame& parent = stack.back();
        if (parent.text.size() - (done.ref_end - done.ref_begin) + done.text.size() > max_expanded_size)
            throw expansion_error("expanded text exceeds " + std::to_string(max_expanded_size) + " bytes");
        parent.text.replace(done.ref_begin, done.ref_end - done.ref_begin, done.text);
        parent.pos = parent.text.find('%', done.ref_begin + done.text.size());
    }
}

}  // namespace archive
