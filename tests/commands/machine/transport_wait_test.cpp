// MCH_SET_TRANSP's wait for the bowl report, in-process on a clock that
// advances by itself: ten seconds pass without waiting them out. Machine
// control is not reachable here; the transport request is only tried.
#include <gtest/gtest.h>

#include "commands/machine/machine_commands.h"
#include "monitor/gui_state.h"
#include "session/command_list.h"

namespace {

// Virtual time; a report "arrives" when a sleep passes its time.
struct FakeTime {
    int64_t now = 5000000;
    int64_t reportAt = -1;   // -1: never
    int32_t report = BOWL_STATE_CLOSED;
    int sleeps = 0;
};
FakeTime fakeTime;

int64_t fakeNow() { return fakeTime.now; }
void fakeSleep(unsigned ms)
{
    fakeTime.sleeps++;
    fakeTime.now += ms;
    if (fakeTime.reportAt >= 0 && fakeTime.now >= fakeTime.reportAt)
        BowlLockState.store(fakeTime.report);
}
const PollClock kFakeClock = {fakeNow, fakeSleep};

class TransportWaitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeTime = FakeTime{};
        setBowlPollClock(&kFakeClock);
    }
    void TearDown() override { setBowlPollClock(nullptr); }

    std::string transport(const char *argument)
    {
        Command *request = createStringCommand(MCH_SET_TRANSP, 21, "%s", argument);
        Command *answer = cmdHandler_MCHSetTransp(request, -1);
        std::string text = commandText(answer);
        EXPECT_EQ(answer->index, MCH_SET_TRANSP);
        EXPECT_EQ(answer->tag, 21);
        deleteCommand(&answer);
        deleteCommand(&request);
        return text;
    }
    int64_t elapsed(int64_t start) const { return fakeTime.now - start; }
};

} // namespace

TEST_F(TransportWaitTest, WithoutAReportItGivesUpAfterTenSeconds)
{
    int64_t start = fakeTime.now;
    EXPECT_EQ(transport("ON"), "NAK: Bowl staus unknown, should be closed");
    EXPECT_GE(elapsed(start), 10000);
    EXPECT_LT(elapsed(start), 10100) << "it looks every 100 ms";

    start = fakeTime.now;
    EXPECT_EQ(transport("OFF"), "NAK: Bowl staus unknown, should be open");
    EXPECT_GE(elapsed(start), 10000);
}

TEST_F(TransportWaitTest, AReportBeforeTheCommandDoesNotCount)
{
    BowlLockState.store(BOWL_STATE_CLOSED);
    EXPECT_EQ(transport("ON"), "NAK: Bowl staus unknown, should be closed");
}

TEST_F(TransportWaitTest, ALateReportCountsUntilTheTenSecondsAreOver)
{
    fakeTime.reportAt = fakeTime.now + 9900;
    EXPECT_EQ(transport("ON"), "ACK");

    fakeTime.reportAt = fakeTime.now + 10200;
    EXPECT_EQ(transport("ON"), "NAK: Bowl staus unknown, should be closed");

    fakeTime.reportAt = fakeTime.now + 300;
    fakeTime.report = BOWL_STATE_OPEN;
    EXPECT_EQ(transport("OFF"), "ACK");
}
