#include "log_test_support.hpp"

namespace log_test {

bool is_prefix(const std::string& p, char level_character) {
    static const char shape[] = "dddd/dd/dd dd:dd:dd L  ";
    if (p.size() != sizeof(shape) - 1) return false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const char s = shape[i];
        if (s == 'd') {
            if (p[i] < '0' || p[i] > '9') return false;
        } else if (s == 'L') {
            if (p[i] != level_character) return false;
        } else if (p[i] != s) {
            return false;
        }
    }
    return true;
}

bool split_log(const std::string& content, std::vector<std::string>& lines, std::string& reason) {
    static const std::string bom = "\xEF\xBB\xBF";
    lines.clear();
    if (content.compare(0, 3, bom) != 0) {
        reason = "no byte order mark at the start";
        return false;
    }
    if (content.find(bom, 3) != std::string::npos) {
        reason = "a second byte order mark";
        return false;
    }
    std::size_t pos = 3;
    while (pos < content.size()) {
        const std::size_t end = content.find("\r\n", pos);
        if (end == std::string::npos) {
            reason = "content does not end with CR LF";
            return false;
        }
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 2;
    }
    return true;
}

}  // namespace log_test
