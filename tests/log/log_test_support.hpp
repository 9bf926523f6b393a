// Helpers shared by the Windows log tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "corvid/log/listener.hpp"

namespace log_test {

struct record {
    int level;
    std::string prefix;
    std::string text;
    std::string tag;
};

// Appends every message it receives to a shared journal, and counts its own
// destruction, so that tests see order, content and ownership.
class recorder : public corvid::log::listener {
public:
    recorder(std::shared_ptr<std::vector<record>> journal, std::string tag,
             std::shared_ptr<int> destroyed = nullptr)
        : journal_(std::move(journal)), tag_(std::move(tag)), destroyed_(std::move(destroyed)) {}
    ~recorder() override {
        if (destroyed_) ++*destroyed_;
    }
    void write(int level, const std::string& prefix, const std::string& text) override {
        journal_->push_back({level, prefix, text, tag_});
    }

private:
    std::shared_ptr<std::vector<record>> journal_;
    std::string tag_;
    std::shared_ptr<int> destroyed_;
};

// True when prefix is "YYYY/MM/DD hh:mm:ss C  " with digits where due and the
// given level character.
bool is_prefix(const std::string& prefix, char level_character);

// The lines of a log file's content after its byte order mark, split at
// CR LF; false (with the reason) when the content does not start with
// exactly one byte order mark or does not end with CR LF.
bool split_log(const std::string& content, std::vector<std::string>& lines, std::string& reason);

}  // namespace log_test
