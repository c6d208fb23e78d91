// Motor commands against the daemon: the GUI's requests they send, the
// wait for machine control's speed report, and the knob steps.
#include "machine_fixture.h"

namespace {

const Bytes kRotaryModeSetSpeed = bytesOf(int32_t(ROTARY_MODE_SET_SPEED));
const Bytes kRotaryModeNormal = bytesOf(int32_t(ROTARY_MODE_NORMAL));
const Bytes kKnobUp = bytesOf(uint16_t(KNOB_STEP_UP));
const Bytes kKnobDown = bytesOf(uint16_t(KNOB_STEP_DOWN));

class MotorCommandTest : public MachineCommandTest {
protected:
    struct SpeedRun {
        std::string answer;
        int up = 0;
        int down = 0;
    };

    // MCH_SET_SPEED that machine control answers with `events` once the
    // knob is in speed mode; counts the knob steps and checks that the
    // knob went back to normal after them.
    SpeedRun setSpeed(const char *argument, const std::vector<std::pair<uint32_t, int32_t>> &events)
    {
        SpeedRun run;
        uint64_t mark = mcl.nextSeq();
        auto answer = callLater(MCH_SET_SPEED, argument);
        EXPECT_NE(awaitRequest(GUI_REQUEST_ROTARY_MODE, mark, &kRotaryModeSetSpeed), 0u) << argument;
        for (auto [id, value] : events) {
            if (id == MCL_EV_ERROR_AND_WARNING)
                publishError(value);
            else
                publishInt(id, value);
        }
        run.answer = answerOf(answer);
        uint64_t normal = awaitRequest(GUI_REQUEST_ROTARY_MODE, mark, &kRotaryModeNormal);
        EXPECT_NE(normal, 0u) << "the knob is back in normal mode whatever the answer";
        for (const PeerRequest &r : mcl.requests(GUI_SET_REMOTE_COMMANDS)) {
            if (r.seq < mark)
                continue;
            EXPECT_LT(r.seq, normal) << "knob steps come before normal mode";
            run.up += r.payload == kKnobUp;
            run.down += r.payload == kKnobDown;
        }
        // The next command starts from "not reached".
        publishInt(MCL_EV_SPEED_STATUS, 0);
        return run;
    }
    SpeedRun reachSpeed(const char *argument) { return setSpeed(argument, {{MCL_EV_SPEED_STATUS, 2}}); }

    void reportSpeed(int32_t tenths)
    {
        publishInt(MCL_EV_SPEED_CHANGED, tenths);
        ASSERT_TRUE(eventBarrier());
    }
};

} // namespace

TEST_F(MotorCommandTest, GuiSpeedsTurnTheKnobFromTheReportedSpeed)
{
    struct Case {
        int32_t current;
        const char *argument;
        int up, down;
    } cases[] = {
        {0, "5.0", 11, 0},    // from 0 the knob skips the speeds 1 and 2
        {0, "10.0", 21, 0},   // the first row
        {0, "0.5", 2, 0},     // "05" is read in base 0: still 5
        {0, "SOFT", 1, 0},    // speed 3
        {100, "5.0", 0, 10},
        {50, "4.5", 0, 1},
        {35, "0.0", 0, 24},   // to 0 always 24 down
        {7, "5.0", 11, 24},   // not a knob speed: down to 0 first, then up from there
        {2, "SOFT", 1, 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.argument) + " from " + std::to_string(c.current));
        reportSpeed(c.current);
        SpeedRun run = reachSpeed(c.argument);
        EXPECT_EQ(run.answer, "ACK");
        EXPECT_EQ(run.up, c.up);
        EXPECT_EQ(run.down, c.down);
    }
}

TEST_F(MotorCommandTest, OtherArgumentsAreTheFourNumberForm)
{
    const uint64_t start = mcl.nextSeq();
    EXPECT_EQ(call(MCH_SET_SPEED, "1,1000,2000,3000"), "ACK");
    EXPECT_EQ(call(MCH_SET_SPEED, "255,,65535,0,,65535"), "ACK") << "empty pieces are skipped";
    for (const char *refused : {"0.1", "0.2", "55", "0.7", ".", "256,1,1,1", "1,1,1,65536", "1,2,3,4,5", "1,x,3,4",
                                "1,2,3", ""}) {
        EXPECT_EQ(call(MCH_SET_SPEED, refused), "NAK: Invalid argument") << refused;
    }
    EXPECT_EQ(call(MCH_SET_SPEED, nullptr), "NAK: Invalid argument");
    EXPECT_EQ(call(MCH_SET_SPEED, "1,2,3,x"), "NAK: Wrong number format in argument") << "the fourth piece's own answer";

    std::vector<Bytes> sent = payloads(RIF_SET_SPEED);
    ASSERT_EQ(sent.size(), 2u) << "nothing is sent for a refused argument";
    ASSERT_EQ(sent[0].size(), 8u);
    sent[0][1] = 0;   // not used
    EXPECT_EQ(sent[0], (Bytes{1, 0, 0xE8, 0x03, 0xD0, 0x07, 0xB8, 0x0B}));
    EXPECT_TRUE(payloads(GUI_REQUEST_ROTARY_MODE, start).empty()) << "the raw form does not touch the knob";

    mcl.setReply(RIF_SET_SPEED, 0, {0});
    EXPECT_EQ(call(MCH_SET_SPEED, "1,1000,2000,3000"), "NAK: Unsuccessful");
}

TEST_F(MotorCommandTest, MachineErrorsEndTheWaitAndAreTakenOnce)
{
    SpeedRun run = setSpeed("5.0", {{MCL_EV_ERROR_AND_WARNING, 99}});
    EXPECT_EQ(run.answer, "NAK: Machine reported error INVALID_ERRORCODE[99]");
    EXPECT_EQ(run.up + run.down, 0);

    run = setSpeed("5.0", {{MCL_EV_ERROR_AND_WARNING, 22}});
    EXPECT_EQ(run.answer, "NAK: Machine reported error enErr_MotorTooHot");

    // The error was consumed: the next command waits for the status.
    run = setSpeed("5.0", {{MCL_EV_SPEED_STATUS, 1}, {MCL_EV_SPEED_STATUS, 2}});
    EXPECT_EQ(run.answer, "ACK");
}

// The time left is kept on the machine's clock, reading by reading: the
// test sets what machine control reports as its time before each reading.
TEST_F(MotorCommandTest, TheWaitEndsAfterTenSecondsOfMachineTime)
{
    auto machineTime = [&](uint64_t ms) { mcl.setReply(RIF_GET_SYS_TIME, 0, bytesOf(ms)); };
    // Wakes the waiting command with a status other than "reached" and
    // waits until it has read the machine time again.
    auto wakeAt = [&](uint64_t ms) {
        machineTime(ms);
        uint64_t mark = mcl.nextSeq();
        publishInt(MCL_EV_SPEED_STATUS, 1);
        EXPECT_NE(awaitRequest(RIF_GET_SYS_TIME, mark), 0u);
    };

    machineTime(1000);
    uint64_t mark = mcl.nextSeq();
    auto answer = callLater(MCH_SET_SPEED, "5.0");
    ASSERT_NE(awaitRequest(RIF_GET_SYS_TIME, awaitRequest(GUI_REQUEST_ROTARY_MODE, mark)), 0u);
    wakeAt(6000);   // 5000 left
    // A failed reading costs no time and leaves 6000 as the last reading.
    mcl.setReply(RIF_GET_SYS_TIME, 1);
    uint64_t failed = mcl.nextSeq();
    publishInt(MCL_EV_SPEED_STATUS, 1);
    EXPECT_NE(awaitRequest(RIF_GET_SYS_TIME, failed), 0u);
    wakeAt(9000);   // 2000 left: counted from the last reading, not from the start
    publishInt(MCL_EV_SPEED_STATUS, 2);
    EXPECT_EQ(answerOf(answer), "ACK");
    publishInt(MCL_EV_SPEED_STATUS, 0);

    machineTime(20000);
    mark = mcl.nextSeq();
    answer = callLater(MCH_SET_SPEED, "5.0");
    ASSERT_NE(awaitRequest(RIF_GET_SYS_TIME, awaitRequest(GUI_REQUEST_ROTARY_MODE, mark)), 0u);
    machineTime(30000);
    publishInt(MCL_EV_SPEED_STATUS, 1);
    EXPECT_EQ(answerOf(answer), "NAK: Timeout while waiting for target value!");
    EXPECT_NE(awaitRequest(GUI_REQUEST_ROTARY_MODE, mark, &kRotaryModeNormal), 0u);
    EXPECT_TRUE(payloads(GUI_SET_REMOTE_COMMANDS, mark).empty()) << "no knob steps after a time-out";
}

TEST_F(MotorCommandTest, ModeAndDirectionAreRequestedOnlyWhenTheyChange)
{
    EXPECT_EQ(call(MCH_SET_MOTMODE, "TURBO"), "ACK");
    EXPECT_EQ(payloads(GUI_REQUEST_MOTOR_FUNCTION), (std::vector<Bytes>{bytesOf(int32_t(1))}));
    publishInt(MCL_EV_MOTOR_MODE, MOTOR_TURBO);
    ASSERT_TRUE(eventBarrier());
    EXPECT_EQ(call(MCH_SET_MOTMODE, "TURBO"), "NAK: Motor mode already set!");
    EXPECT_EQ(payloads(GUI_REQUEST_MOTOR_FUNCTION).size(), 1u);
    EXPECT_EQ(call(MCH_SET_MOTMODE, "MACRO"), "ACK");
    EXPECT_EQ(payloads(GUI_REQUEST_MOTOR_FUNCTION).back(), bytesOf(int32_t(5)));
    EXPECT_EQ(call(MCH_SET_MOTMODE, "turbo"), "NAK: Wrong arguments, use NORMAL, TURBO, DOUGH, or MACRO!");
    EXPECT_EQ(call(MCH_SET_MOTMODE, nullptr), "NAK: No arguments, use NORMAL, TURBO, DOUGH, or MACRO!");

    EXPECT_EQ(call(MCH_SET_MOTROTDIR, "REGULAR"), "NAK: Motor already rotating in requested direction");
    EXPECT_EQ(call(MCH_SET_MOTROTDIR, "REVERSE"), "ACK");
    EXPECT_EQ(payloads(GUI_REQUEST_ROTATION), (std::vector<Bytes>{bytesOf(int32_t(1))}));
    publishInt(MCL_EV_ROTATION_DIRECTION, 1);
    ASSERT_TRUE(eventBarrier());
    EXPECT_EQ(call(MCH_SET_MOTROTDIR, "REVERSE"), "NAK: Motor already rotating in requested direction");
    EXPECT_EQ(call(MCH_SET_MOTROTDIR, "REGULAR"), "ACK");
    EXPECT_EQ(payloads(GUI_REQUEST_ROTATION).back(), bytesOf(int32_t(0)));
    EXPECT_EQ(call(MCH_SET_MOTROTDIR, "LEFT"), "NAK: Wrong arguments, use REGULAR or REVERSE");
    EXPECT_EQ(call(MCH_SET_MOTROTDIR, nullptr), "NAK: No arguments, use REGULAR or REVERSE");
}

TEST_F(MotorCommandTest, TimerInSecondsOrTurboMilliseconds)
{
    EXPECT_EQ(call(MCH_SET_TIME, "90"), "ACK");
    EXPECT_EQ(payloads(GUI_SET_TIME), (std::vector<Bytes>{bytesOfAll(int32_t(1), int32_t(30))}));
    EXPECT_EQ(call(MCH_SET_TIME, "TURBO:1500"), "ACK");
    EXPECT_EQ(payloads(GUI_SET_TURBO_TIME), (std::vector<Bytes>{bytesOf(int32_t(1500))}));

    EXPECT_EQ(call(MCH_SET_TIME, "FOO:1500"),
              "NAK: Invalid arguments, specify time; for turbo-time, specify TURBO:<milliseconds>!");
    EXPECT_EQ(call(MCH_SET_TIME, "TURBO:x"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_SET_TIME, "1m"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_SET_TIME, nullptr),
              "NAK: No arguments, specify time; for turbo-time, specify TURBO:<milliseconds>!");
    EXPECT_EQ(payloads(GUI_SET_TIME).size() + payloads(GUI_SET_TURBO_TIME).size(), 2u);
}
