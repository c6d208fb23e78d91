#include <cstring>
#include <string>

#include "monitor/get_state_command.h"
#include "monitor_test_support.h"
#include "session/command_list.h"

namespace {

using StateLogTest = MonitorTest;

Command *getStateRequest(int32_t tag)
{
    Command *request = createRawCommand(MCH_GET_STATE, tag, nullptr, 0);
    return request;
}

// A producer's view of a rejected entry: the log's line on standard output
// and the producer's own complaint at level 3.
void produceEntry(const std::string &text)
{
    MIF_STATE_ENTRY("%s", text.c_str());
}

TEST_F(StateLogTest, EntriesUpTo255CharactersAreKeptLongerOnesRejectedWithBothMessages)
{
    EXPECT_EQ(getMaxStateEntrySize(), 256);
    const std::string fits(255, 'a');
    EXPECT_EQ(logStateString("%s", fits.c_str()), 255);

    testing::internal::CaptureStdout();
    EXPECT_EQ(logStateString("%s", std::string(256, 'b').c_str()), -1);
    produceEntry(std::string(300, 'c'));
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(out.find("ERROR in function logStateString@"), std::string::npos) << out;
    EXPECT_NE(out.find(": Entry of size 256 too large for buffer (max size 255), REJECTED LOG ENTRY!\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find(": Entry of size 300 too large"), std::string::npos) << out;

    auto errors = logged(3);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("produceEntry,", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(": logStateString error: Input string too long (max. 255)! REJECTED LOG ENTRY!\n"),
              std::string::npos) << errors[0];

    EXPECT_EQ(getStateEntryCount(), 1);
    EXPECT_EQ(takeState(), fits);
}

TEST_F(StateLogTest, FullLogDropsTheOldestAndIsFetchedWhole)
{
    // Every entry at the size limit: the largest text MCH_GET_STATE can hand
    // over (about 16 MiB).
    std::string entry(255, 'x');
    for (uint32_t i = 0; i < MIF_GetMachineState::MaxEntries + 1; i++) {
        std::string number = std::to_string(i) + ";";
        memcpy(entry.data(), number.data(), number.size());
        ASSERT_EQ(logStateString("%s", entry.c_str()), 255);
    }
    EXPECT_EQ(getStateEntryCount(), 65535);

    Command *request = getStateRequest(3);
    Command *answer = cmdHandler_MCHGetState(request, -1);
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(answer->length, 65535u * 255u + 1u);
    const char *text = reinterpret_cast<const char *>(answer->data);
    EXPECT_EQ(strlen(text), 65535u * 255u);
    EXPECT_EQ(std::string(text, 2), "1;") << "entry 0 was the one to go";
    EXPECT_EQ(std::string(text + 65534u * 255u, 6), "65535;");
    EXPECT_EQ(getStateEntryCount(), 0);
    deleteCommand(&answer);
    deleteCommand(&request);
}

TEST_F(StateLogTest, GetStateHandsOverEntriesJoinedThenReportsEmpty)
{
    ASSERT_GT(logStateString("%llu:PE:PUSH;", 1700000000123ULL), 0);
    ASSERT_GT(logStateString("%llu:RE:%i;", 1700000000456ULL, -1), 0);

    Command *request = getStateRequest(77);
    Command *answer = cmdHandler_MCHGetState(request, -1);
    ASSERT_NE(answer, nullptr);
    const std::string expected = "1700000000123:PE:PUSH;1700000000456:RE:-1;";
    EXPECT_EQ(answer->index, MCH_GET_STATE);
    EXPECT_EQ(answer->tag, 77);
    ASSERT_EQ(answer->length, expected.size() + 1) << "the NUL is sent";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(answer->data)), expected);
    EXPECT_EQ(answer->data[answer->length], 0) << "a payload is readable one byte past its length";
    deleteCommand(&answer);

    answer = cmdHandler_MCHGetState(request, -1);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(commandText(answer), "NAK: State buffer empty");
    EXPECT_EQ(answer->index, MCH_GET_STATE);
    EXPECT_EQ(answer->tag, 77);
    deleteCommand(&answer);
    deleteCommand(&request);

    char *empty = getStateString();
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    free(empty);
}

} // namespace
