#include <chrono>
#include <future>

#include "monitor/machine_events.h"
#include "monitor/sec_mot_data.h"
#include "monitor_test_support.h"

namespace {

class SecMotDataTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        secMotDataPoll.requestFlag = 1;
    }

    // The turns (1-based) at which a request went out, over `turns` turns;
    // `answerAfter` gets each request's turn and says whether machine
    // control answers it.
    template <typename Answer>
    std::vector<int> run(int turns, Answer answerAfter)
    {
        std::vector<int> requested;
        uint32_t counter = 0;
        for (int turn = 1; turn <= turns; turn++) {
            int before = remoteIfDouble.secondaryDataRequests;
            secMotDataPollTurn(counter);
            if (remoteIfDouble.secondaryDataRequests != before) {
                requested.push_back(turn);
                if (answerAfter(turn)) {
                    uint8_t payload[18] = {};
                    RemoteIF_onNewSecondaryMotorData(payload);
                }
            }
        }
        return requested;
    }
};

TEST_F(SecMotDataTest, AsksAfterEachAnswerAndEvery30TurnsWithout)
{
    EXPECT_EQ(run(70, [](int) { return false; }), (std::vector<int>{1, 31, 61}));

    secMotDataPoll.requestFlag = 1;
    EXPECT_EQ(run(5, [](int) { return true; }), (std::vector<int>{1, 2, 3, 4, 5}));

    // Answers stop after the third request: the 30-turn rhythm takes over.
    secMotDataPoll.requestFlag = 1;
    EXPECT_EQ(run(40, [](int turn) { return turn < 3; }), (std::vector<int>{1, 2, 3, 33}));
    EXPECT_TRUE(logged(3).empty());
}

TEST_F(SecMotDataTest, AFailedRequestIsLoggedAndTriedAgainLater)
{
    remoteIfDouble.secondaryDataResult = 0;
    EXPECT_EQ(run(31, [](int) { return false; }), (std::vector<int>{1, 31}));
    auto errors = logged(3);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("pollSecMotData, ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(", failed to request secondary motor data!\n"), std::string::npos) << errors[0];
}

// The loop takes one turn per pause and ends when a pause reports stop.
int pauses = 0;
bool pauseFiveTimes(unsigned ms)
{
    EXPECT_EQ(ms, 1000u);
    return ++pauses <= 5;
}

TEST_F(SecMotDataTest, LoopTakesATurnAfterEachPause)
{
    pauses = 0;
    pollSecMotDataLoop(pauseFiveTimes);
    EXPECT_EQ(pauses, 6);
    EXPECT_EQ(remoteIfDouble.secondaryDataRequests.load(), 1);
}

TEST_F(SecMotDataTest, StopEndsThePauseAndTheThread)
{
    // A pause far longer than the bounded wait below: only the stop request
    // can end it in time.
    auto pause = std::async(std::launch::async, [] { return pauseUnlessStopped(600000); });
    auto poll = std::async(std::launch::async, pollSecMotData);
    EXPECT_EQ(pause.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    requestStop();
    ASSERT_EQ(pause.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(pause.get());
    ASSERT_EQ(poll.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    poll.get();
}

} // namespace
