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
    using copy_result = rotation_operations::copy_result;
    if (generations == 0) return true;
    const std::string current = current_file_name(base);
    for (std::uint32_t i = 1; i <= generations; ++i) {
        switch (ops.copy_if_absent(current, generation_file_name(base, i))) {
            case copy_result::copied:
                return true;
            case copy_result::failed:
                // Another slot or a shift cannot help a copy that fails by
                // itself, and shifting would drop a generation for nothing.
                return false;
            case copy_result::target_exists:
                break;
        }
    }

    // Every slot is taken: drop the oldest. It is only set aside until the
    // new copy is in place, so that any failure on the way can be undone.
    const std::string set_aside = generation_file_name(base, generations + 1);
    ops.remove(set_aside);  // left over by an attempt that could not be undone
    if (!ops.move_replacing(generation_file_name(base, 1), set_aside)) return false;
    // Moves generation `from` + 1 back onto `from`, for from = `done` .. 1,
    // and puts the oldest back in place.
    auto undo = [&](std::uint32_t done) {
        for (std::uint32_t j = done; j >= 1; --j)
            ops.move_replacing(generation_file_name(base, j), generation_file_name(base, j + 1));
        ops.move_replacing(set_aside, generation_file_name(base, 1));
    };
    for (std::uint32_t j = 1; j < generations; ++j) {
        if (!ops.move_replacing(generation_file_name(base, j + 1), generation_file_name(base, j))) {
            undo(j - 1);
            return false;
        }
    }
    if (ops.copy_if_absent(current, generation_file_name(base, generations)) != copy_result::copied) {
        undo(generations - 1);
        return false;
    }
    ops.remove(set_aside);
    return true;
}

}  // namespace corvid::log
