#include "platform/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace platform;

TEST(Priority, ScopedRaisePutsThePreviousValueBack)
{
    // Start from a nice value of our own so the check does not depend on the caller's.
    ASSERT_TRUE(set_priority(3));
    ASSERT_EQ(get_priority(), 3);
    {
        ScopedHighPriority high;
        // Raising needs privileges; without them nothing may change.
        EXPECT_EQ(get_priority(), high.raised() ? High_priority_nice : 3);
    }
    EXPECT_EQ(get_priority(), 3);
    {
        ScopedHighPriority off(false);
        EXPECT_FALSE(off.raised());
        EXPECT_EQ(get_priority(), 3);
    }
    if (geteuid() == 0) {
        // A process already above the high level is not pulled down to it.
        ASSERT_TRUE(set_priority(-15));
        {
            ScopedHighPriority high;
            EXPECT_FALSE(high.raised());
            EXPECT_EQ(get_priority(), -15);
        }
        EXPECT_EQ(get_priority(), -15);
        EXPECT_TRUE(set_priority(0));
    }
}

TEST(CurrentDirectory, FollowsChdirAndHasNoLengthLimit)
{
    const std::string start = current_directory();
    ASSERT_FALSE(start.empty());
    char tmpl[] = "/tmp/stravon-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string deep = std::filesystem::canonical(tmpl).string();
    for (int i = 0; i < 12; ++i) deep += "/" + std::string(60, char('a' + i));
    std::filesystem::create_directories(deep);
    ASSERT_EQ(chdir(deep.c_str()), 0);
    EXPECT_EQ(current_directory(), deep);
    ASSERT_EQ(chdir(start.c_str()), 0);
    std::filesystem::remove_all(tmpl);
}
