#include "corvid/log/policy.hpp"

#include <map>
#include <set>

#include <gtest/gtest.h>

using namespace corvid::log;

namespace {

// A set of named files for the rotation policy; files named in `locked`
// can be neither written, replaced nor renamed; copies fail by themselves
// (a full disk) while `copies_fail` is set, and copies to a name in
// `failing_copies` always do. `calls` counts every operation.
class file_set : public rotation_operations {
public:
    std::map<std::string, std::string> files;
    std::set<std::string> locked;
    std::set<std::string> failing_copies;
    bool copies_fail = false;
    int calls = 0;

    void remove(const std::string& path) override {
        ++calls;
        if (!locked.count(path)) files.erase(path);
    }
    copy_result copy_if_absent(const std::string& from, const std::string& to) override {
        ++calls;
        if (files.count(to)) return copy_result::target_exists;
        if (copies_fail || failing_copies.count(to) || locked.count(to) || !files.count(from))
            return copy_result::failed;
        files[to] = files[from];
        return copy_result::copied;
    }
    bool move_replacing(const std::string& from, const std::string& to) override {
        ++calls;
        if (!files.count(from) || locked.count(from) || locked.count(to)) return false;
        files[to] = files[from];
        files.erase(from);
        return true;
    }
};

const std::string base = "C:\\Temp\\Keelson";
const std::string current = base + ".log.txt";
std::string gen(int n) { return base + "." + std::to_string(n) + ".log.txt"; }

// Writes `content` as the current file and rotates it as a write would.
bool rotate(file_set& fs, std::uint32_t generations, const std::string& content) {
    fs.files[current] = content;
    const bool empty_it = keep_generation(base, generations, fs);
    if (empty_it) fs.files[current] = "";
    return empty_it;
}

}  // namespace

TEST(LogNames, DerivedFromTheBaseName) {
    EXPECT_EQ(current_file_name(base), "C:\\Temp\\Keelson.log.txt");
    EXPECT_EQ(generation_file_name(base, 1), "C:\\Temp\\Keelson.1.log.txt");
    EXPECT_EQ(generation_file_name(base, 12), "C:\\Temp\\Keelson.12.log.txt");
    EXPECT_EQ(file_lock_name(base), "log-C:_Temp_Keelson");
    EXPECT_EQ(file_lock_name("plain"), "log-plain");
}

TEST(LogLine, PrefixAndBlock) {
    const local_time t{2019, 8, 5, 14, 3, 7};
    EXPECT_EQ(timestamp_prefix(t, 1), "2019/08/05 14:03:07    ");
    EXPECT_EQ(timestamp_prefix(t, 3), "2019/08/05 14:03:07 !  ");
    EXPECT_EQ(timestamp_prefix(local_time{987, 12, 31, 0, 0, 59}, 0), "0987/12/31 00:00:59 #  ");
    EXPECT_EQ(line_block(timestamp_prefix(t, 1), ""), "2019/08/05 14:03:07    \r\n");
    EXPECT_EQ(line_block("P ", "text"), "P text\r\n");

    const std::string characters = "# +!>@";
    for (int level = 0; level <= 5; ++level) EXPECT_EQ(level_character(level), characters[level]);
    EXPECT_EQ(level_character(6), '?');
    EXPECT_EQ(level_character(-1), '?');
    EXPECT_EQ(timestamp_prefix(t, 99).size(), 23u);
}

TEST(LogRotation, ThreeGenerationsFillUpThenShift) {
    file_set fs;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(rotate(fs, 3, "c" + std::to_string(n)));
        EXPECT_EQ(fs.files[gen(n)], "c" + std::to_string(n));
    }
    ASSERT_TRUE(rotate(fs, 3, "c4"));
    EXPECT_EQ(fs.files[gen(1)], "c2");
    EXPECT_EQ(fs.files[gen(2)], "c3");
    EXPECT_EQ(fs.files[gen(3)], "c4");
    ASSERT_TRUE(rotate(fs, 3, "c5"));
    EXPECT_EQ(fs.files[gen(1)], "c3");
    EXPECT_EQ(fs.files[gen(3)], "c5");
    EXPECT_EQ(fs.files.size(), 4u);  // current and three generations, nothing else
}

TEST(LogRotation, ABlockedShiftIsUndoneAndTriedAgainLater) {
    // Whichever generation is held, every one keeps its own content, and the
    // undo moves back exactly what was moved: with generation `held` held,
    // three copy attempts, one clean-up and 2 * held - 1 moves (the oldest
    // set aside, the shifts before the blocked one, the blocked one, the
    // same shifts back, the oldest put back).
    for (int held = 1; held <= 3; ++held) {
        file_set fs;
        fs.files = {{gen(1), "g1"}, {gen(2), "g2"}, {gen(3), "g3"}};
        fs.locked.insert(gen(held));
        for (int line = 0; line < 3; ++line) {
            fs.calls = 0;
            EXPECT_FALSE(rotate(fs, 3, "current"));
            EXPECT_EQ(fs.files[current], "current");  // kept, so the caller's line is not lost
            const std::map<std::string, std::string> unchanged{
                {current, "current"}, {gen(1), "g1"}, {gen(2), "g2"}, {gen(3), "g3"}};
            EXPECT_EQ(fs.files, unchanged) << "generation " << held << " held, after line " << line;
            EXPECT_EQ(fs.calls, 3 + 1 + 2 * held - 1) << "generation " << held << " held";
        }

        // Once the lock is gone the rotation goes ahead as usual.
        fs.locked.clear();
        EXPECT_TRUE(rotate(fs, 3, "later"));
        const std::map<std::string, std::string> rotated{
            {current, ""}, {gen(1), "g2"}, {gen(2), "g3"}, {gen(3), "later"}};
        EXPECT_EQ(fs.files, rotated) << "generation " << held << " held";
    }

    file_set single;
    single.files[gen(1)] = "kept";
    single.locked.insert(gen(1));
    EXPECT_FALSE(rotate(single, 1, "current"));
    EXPECT_EQ(single.files[gen(1)], "kept");
    EXPECT_LE(single.calls, 4);
}

TEST(LogRotation, ACopyThatFailsByItselfShiftsNothingOnAnyLine) {
    // A full disk: the copy fails whatever slot it goes to. Each line tries
    // again, and neither the kept files nor their order change.
    for (std::uint32_t generations : {1u, 2u, 3u}) {
        file_set full;
        for (std::uint32_t n = 1; n <= generations; ++n) full.files[gen(n)] = "g" + std::to_string(n);
        full.copies_fail = true;
        const auto before = full.files;
        for (int line = 0; line < 4; ++line) {
            full.calls = 0;
            EXPECT_FALSE(rotate(full, generations, "current"));
            auto kept = full.files;
            kept.erase(current);
            EXPECT_EQ(kept, before) << generations << " generations, line " << line;
            // The copies to taken slots, the clean-up, the shift of all but
            // the oldest, the failed copy, and the same moves back.
            EXPECT_EQ(full.calls, 3 * int(generations) + 2) << generations << " generations";
        }
        // The disk has room again: the oldest goes, the new copy is the newest.
        full.copies_fail = false;
        EXPECT_TRUE(rotate(full, generations, "fresh"));
        EXPECT_EQ(full.files[gen(generations)], "fresh");
        if (generations > 1) {
            EXPECT_EQ(full.files[gen(1)], "g2");
        }
        EXPECT_EQ(full.files.count(gen(generations + 1)), 0u);
    }

    // With free slots left, a copy that fails into the first of them tries
    // no higher one, which would put a newer copy behind a gap, and moves
    // nothing: two operations, the copy to the taken slot and the failed one.
    file_set partly;
    partly.files = {{gen(1), "g1"}};
    partly.failing_copies.insert(gen(2));
    EXPECT_FALSE(rotate(partly, 3, "current"));
    EXPECT_EQ(partly.files, (std::map<std::string, std::string>{{current, "current"}, {gen(1), "g1"}}));
    EXPECT_EQ(partly.calls, 2);
    partly.failing_copies.clear();
    EXPECT_TRUE(rotate(partly, 3, "next"));
    EXPECT_EQ(partly.files[gen(2)], "next");
}
