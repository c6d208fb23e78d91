#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "monitor/get_state_command.h"
#include "monitor_test_support.h"
#include "session/command_list.h"
#include "support/failing_allocations.h"

namespace {

// While one is alive, every allocation of this thread fails: the forced
// out-of-memory of the tests below. Other threads allocate as usual.
struct FailingAllocations {
    FailingAllocations() { allocationsFail = true; }
    ~FailingAllocations() { allocationsFail = false; }
};

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

// Out of memory is a failed append, not an exception: the producer gets -1,
// the log keeps what it had, and the next append works again.
TEST_F(StateLogTest, AppendFailsCleanlyWhenMemoryRunsOut)
{
    free(getStateString());
    std::string expected;
    // The log's storage grows in blocks: entries go in until one needs
    // memory that is not there (a few at most).
    int refused = 0;
    for (int i = 0; i < 8 && refused == 0; i++) {
        std::string entry = std::to_string(i) + ":" + std::string(250, 'm') + ";";
        int result;
        {
            FailingAllocations noMemory;
            result = logStateString("%s", entry.c_str());
        }
        if (result == -1)
            refused++;
        else
            expected += entry;
    }
    ASSERT_EQ(refused, 1) << "no append ever needed memory";
    const int count = getStateEntryCount();

    ASSERT_EQ(logStateString("%s", "after;"), 6);
    EXPECT_EQ(getStateEntryCount(), count + 1);
    char *text = getStateString();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), expected + "after;");
    free(text);
}

} // namespace
