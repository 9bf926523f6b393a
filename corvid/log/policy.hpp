// The log's line format, file naming and rotation policy, kept free of the
// Windows API so that they are checked on any system.
#pragma once

#include <cstdint>
#include <string>

namespace corvid::log {

// Level characters "# +!>@" for levels 0 to 5. Any other level is shown as
// '?': callers are to use 0 to 5, and a line at another level still lands,
// visibly marked, rather than being dropped or indexing out of the table.
char level_character(int level) noexcept;

struct local_time {
    int year, month, day, hour, minute, second;
};

// "YYYY/MM/DD hh:mm:ss C  ": the time with leading zeros, a blank, the level
// character and two blanks.
std::string timestamp_prefix(const local_time& time, int level);

// One line as it goes into the file: prefix, text, CR LF.
std::string line_block(const std::string& prefix, const std::string& text);

// The three bytes that start a new or freshly rotated log file.
inline constexpr char byte_order_mark[] = "\xEF\xBB\xBF";

// base + ".log.txt".
std::string current_file_name(const std::string& base);
// base + "." + generation in decimal + ".log.txt"; generation 1 is the oldest.
std::string generation_file_name(const std::string& base, std::uint32_t generation);
// "log-" + base with every "\" replaced by "_" (the file lock's mutex name).
std::string file_lock_name(const std::string& base);

// The file operations the rotation needs; Win32 in the product, any file
// set in tests.
class rotation_operations {
public:
    enum class copy_result { copied, target_exists, failed };

    virtual ~rotation_operations() = default;
    // Deletes the file if it can; the outcome does not matter.
    virtual void remove(const std::string& path) = 0;
    // Copies from to a new file to. target_exists when to is there already;
    // failed for every other reason (from unreadable, disk full, no access).
    virtual copy_result copy_if_absent(const std::string& from, const std::string& to) = 0;
    // Renames from to to, replacing to; false on failure.
    virtual bool move_replacing(const std::string& from, const std::string& to) = 0;
};

// Keeps a copy of the current file before it is emptied: the copy goes to the
// lowest-numbered generation (1 to generations) that does not exist yet. When
// all exist, the oldest is dropped: generation 2 moves onto 1, 3 onto 2 and so
// on, and the copy goes into the newest. With generations 1 the one copy is
// replaced each time; with 0 no copy is kept.
//
// True when the current file may now be emptied (a copy was made, or none is
// kept). False when no copy could be made; the caller then keeps the current
// file as it is and appends to it (no line is lost), and the next write tries
// again. A false result leaves the kept generations exactly as they were:
// a copy that fails for any reason but an existing target ends the attempt
// before anything is shifted, and a shift is undone when a move or the copy
// after it fails (the oldest generation waits under the name of generation
// generations + 1 until the new copy is in place), so the generations never
// lose a file and stay in order, the highest number the newest.
bool keep_generation(const std::string& base, std::uint32_t generations, rotation_operations& ops);

}  // namespace corvid::log
