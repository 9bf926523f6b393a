#include "corvid/mutex_name.hpp"

#include <gtest/gtest.h>

TEST(MutexName, MachineWideFromVersionFive) {
    EXPECT_EQ(corvid::machine_wide_mutex_name("Quillmoor.Installation", 5), "Global\\Quillmoor.Installation");
    EXPECT_EQ(corvid::machine_wide_mutex_name("Quillmoor.Installation", 10), "Global\\Quillmoor.Installation");
    EXPECT_EQ(corvid::machine_wide_mutex_name("Global\\x", 6), "Global\\x");
    EXPECT_EQ(corvid::machine_wide_mutex_name("Local\\a\\b", 6), "Local\\a\\b");
}

TEST(MutexName, NoNamespacesBeforeVersionFive) {
    EXPECT_EQ(corvid::machine_wide_mutex_name("Quillmoor.Installation", 4), "Quillmoor.Installation");
    EXPECT_EQ(corvid::machine_wide_mutex_name("Global\\x", 4), "x");
    EXPECT_EQ(corvid::machine_wide_mutex_name("a\\b\\c", 3), "c");
    EXPECT_EQ(corvid::machine_wide_mutex_name("trailing\\", 4), "");
}
