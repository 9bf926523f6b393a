#include "corvid/error_text.hpp"

#include <gtest/gtest.h>

#include "corvid/win32.hpp"

TEST(ErrorText, SystemMessagesWithoutTheirLineBreak) {
    std::string success = corvid::error_text(0);
    EXPECT_FALSE(success.empty());
    EXPECT_NE(success.back(), '\n');
    EXPECT_NE(success.back(), '\r');

    std::string denied = corvid::error_text(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(denied.empty());
    EXPECT_EQ(denied.find('\n'), std::string::npos);
    EXPECT_NE(denied, success);
}

TEST(ErrorText, CodeWithoutMessageGivesEmptyText) {
    EXPECT_EQ(corvid::error_text(0x2FFFFFFFu), "");
    EXPECT_EQ(corvid::error_text(0xFFFFFFFFu), "");
}
