#include "bootstrap/command_line.hpp"
#include "bootstrap/command_line_win32.hpp"

#include <gtest/gtest.h>

#include "corvid/handle.hpp"
#include "tests/support/scratch_dir.hpp"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

constexpr DWORD blocking_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

bool can_overwrite(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

}  // namespace

TEST(MsiLogAttributes, ReadOnlyHiddenLogOfAnEarlierRunBecomesWritable) {
    scratch_dir scratch("msilog");
    const std::string work = scratch.path() + "ZELT1700000000\\";
    const std::string log = scratch.path() + "KAVRO_msi.log.txt";
    ASSERT_EQ(bootstrap::msi_log_path(work), log);
    ASSERT_TRUE(write_file(log, "earlier run"));
    ASSERT_TRUE(::SetFileAttributesA(log.c_str(), blocking_attributes));
    DWORD before = ::GetFileAttributesA(log.c_str());
    ASSERT_NE(before, INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(before & blocking_attributes, blocking_attributes);
    // Whether the read-only file refuses a write depends on the account Wine
    // runs under (root ignores the permission it maps to), so only the
    // attributes are compared before the reset.

    archive::entry_table table;
    table.lookup_or_create("msilog") = "ON";
    table.lookup_or_create("parameters") = "/qn";
    bootstrap::add_msi_log_switch(table, work, bootstrap::reset_file_attributes);

    DWORD after = ::GetFileAttributesA(log.c_str());
    ASSERT_NE(after, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(after & blocking_attributes, 0u);
    EXPECT_TRUE(can_overwrite(log));
    EXPECT_EQ(*table.find("parameters"), "/qn/V\"/l*v \\\"" + log + "\\\"\"");
}

TEST(MsiLogAttributes, MissingLogIsNormalOnTheFirstRun) {
    scratch_dir scratch("msilog-none");
    const std::string work = scratch.path() + "ZELT1\\";
    archive::entry_table table;
    table.lookup_or_create("msilog") = "ON";
    table.lookup_or_create("parameters") = "/V\"A=1\"";
    bootstrap::add_msi_log_switch(table, work, bootstrap::reset_file_attributes);
    EXPECT_EQ(*table.find("parameters"),
              "/V\"/l*v \\\"" + bootstrap::msi_log_path(work) + "\\\" A=1\"");
    EXPECT_FALSE(test_support::exists(bootstrap::msi_log_path(work)));
}
