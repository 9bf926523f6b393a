#include "corvid/log/policy.hpp"

#include "corvid/exception.hpp"

namespace corvid::log {

char level_character(int level) noexcept {
    static constexpr char characters[] = "# +!>@";
    if (level < 0 || level > 5) return '?';
    return characters[level];
}

std::string timestamp_prefix(const local_time& t, int level) {
    return format("%.4d/%.2d/%.2d %.2d:%.2d:%.2d %c  ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, level_character(level));
}

std::string line_block(const std::string& prefix, const std::string& text) {
    std::string block;
    block.reserve(prefix.size() + text.size() + 2);
    block.append(prefix).append(text).append("\r\n");
    return block;
}

std::string current_file_name(const std::string& base) { return base + ".log.txt"; }

std::string generation_file_name(const std::string& base, std::uint32_t generation) {
    return base + "." + std::to_string(generation) + ".log.txt";
}

std::string file_lock_name(const std::string& base) {
    std::string name = "log-" + base;
    for (char& c : name)
        if (c == '\\') c = '_';
    return name;
}

bool keep_generation(const std::string& base, std::uint32_t generations, rotation_operations& ops) {
    if (generations == 0) return true;
    const std::string current = current_file_name(base);
    std::uint32_t i = 1;
    bool shifted = false;
    for (;;) {
        const std::string target = generation_file_name(base, i);
        if (generations == 1) ops.remove(target);
        if (ops.copy_if_absent(current, target)) return true;
        if (i < generations) {
            ++i;
            continue;
        }
        if (shifted) return false;
        shifted = true;
        for (std::uint32_t j = 1; j < generations; ++j) {
            if (!ops.move_replacing(generation_file_name(base, j + 1), generation_file_name(base, j)))
                break;
        }
    }
}

}  // namespace corvid::log
