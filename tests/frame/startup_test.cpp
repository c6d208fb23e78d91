#include "frame/startup.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

unsigned delayOf(const char *content) { return startDelayFromFile(content, strlen(content)); }

TEST(StartDelay, FileContentGivesTheDelay)
{
    EXPECT_EQ(delayOf("250"), 250u);
    EXPECT_EQ(delayOf("0x20"), 32u);
    EXPECT_EQ(delayOf("0"), 0u);
    EXPECT_EQ(delayOf("010"), 8u);
    EXPECT_EQ(delayOf("  75\n"), 75u) << "leading blanks and trailing text are ignored";
    EXPECT_EQ(delayOf("12ms"), 12u);
    EXPECT_EQ(delayOf("abc"), 0u) << "text without digits converts to 0: no delay";
    EXPECT_EQ(delayOf(""), 100u) << "an empty file";
    EXPECT_EQ(delayOf("1234567890"), 100u) << "ten bytes or more";
    EXPECT_EQ(delayOf("-5"), 100u) << "negative as a signed 32-bit number";
    EXPECT_EQ(delayOf("3000000000"), 100u) << "negative as a signed 32-bit number";
    EXPECT_EQ(delayOf("999999999"), 999999999u);
    EXPECT_EQ(startDelayFromFile(nullptr, 0), 100u) << "no file";
}

TEST(CommandLine, NowaitAndListenAddress)
{
    struct Case { std::vector<const char *> args; bool noWait; const char *address; } cases[] = {
        {{"mifd"}, false, nullptr},
        {{"mifd", "10.0.0.2"}, false, "10.0.0.2"},
        {{"mifd", "-nowait"}, true, nullptr},
        {{"mifd", "-nowait", "127.0.0.1"}, true, "127.0.0.1"},
        {{"mifd", "host", "-nowait"}, true, "-nowait"},   // the second argument in this mode
        {{"mifd", "host", "x", "-nowait"}, true, "x"},
    };
    for (auto &c : cases) {
        CommandLine line = parseCommandLine(int(c.args.size()), const_cast<char **>(c.args.data()));
        EXPECT_EQ(line.noWait, c.noWait);
        if (c.address) {
            EXPECT_STREQ(line.listenAddress, c.address);
        } else {
            EXPECT_EQ(line.listenAddress, nullptr);
        }
    }
}

} // namespace
