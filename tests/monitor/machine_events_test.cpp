#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "monitor/gui_state.h"
#include "monitor/machine_events.h"
#include "monitor/sec_mot_data.h"
#include "monitor_test_support.h"

namespace {

using MachineEventsTest = MonitorTest;

// A payload with the event time in bytes 0-7, little-endian like every
// field machine control sends.
struct Payload {
    uint8_t bytes[32] = {};
    explicit Payload(uint64_t eventTime)
    {
        for (int i = 0; i < 8; i++)
            bytes[i] = uint8_t(eventTime >> (8 * i));
    }
    Payload &u8(int at, uint8_t v)
    {
        bytes[at] = v;
        return *this;
    }
    Payload &u16(int at, uint16_t v)
    {
        bytes[at] = uint8_t(v);
        bytes[at + 1] = uint8_t(v >> 8);
        return *this;
    }
};

TEST_F(MachineEventsTest, LidBowlAndTransportEvents)
{
    struct Case {
        uint8_t code;
        const char *text;   // null: a generic event entry
        int32_t bowlState;  // -1: unchanged
    };
    const Case cases[] = {
        {49, "LL:BOWL,OPEN", 1},   {50, "LL:BOWL,CLOSE", 2},   {51, nullptr, -1},
        {52, nullptr, -1},         {53, nullptr, -1},          {54, "LL:TRANSP,ON", 2},
        {55, "LL:TRANSP,OFF", 1},  {56, nullptr, -1},          {63, nullptr, -1},
        {64, "LL:LEFT,CLOSE", -1}, {65, "LL:RIGHT,CLOSE", -1}, {66, "LL:LID,CLOSE", -1},
        {67, "LL:LEFT,OPEN", -1},  {68, "LL:RIGHT,OPEN", -1},  {69, "LL:LID,OPEN", -1},
        {70, nullptr, -1},
    };
    for (const Case &c : cases) {
        BowlLockState = 7;   // a value no event writes
        RemoteIF_onEvent(18446744073709551615ULL, c.code, 0xFFFF);
        std::string expected = c.text ? std::string("18446744073709551615:") + c.text + ";"
                                      : "18446744073709551615:EV:" + std::to_string(c.code) + ",65535;";
        EXPECT_EQ(takeState(), expected) << int(c.code);
        EXPECT_EQ(BowlLockState.load(), c.bowlState < 0 ? 7 : c.bowlState) << int(c.code);
    }
}

TEST_F(MachineEventsTest, ErrorHeatingAndTestModeEntries)
{
    // Bytes 10 and 11 unsigned, 12-19 signed 16-bit, 20-27 unsigned 16-bit.
    Payload error(5000);
    error.u8(10, 200).u8(11, 1).u16(12, 0xFFFF).u16(14, 2).u16(16, 0x8000).u16(18, 4);
    error.u16(20, 0xFFFF).u16(22, 6).u16(24, 7).u16(26, 0x8000);
    RemoteIF_onErrorEvent(error.bytes);
    EXPECT_EQ(takeState(), "5000:ER:200,1,-1,2,-32768,4,65535,6,7,32768;");

    RemoteIF_onHeatingControl(6000, 65535, 3);
    RemoteIF_onHeatingControl(6001, 0, 0);
    EXPECT_EQ(takeState(), "6000:HC:65535,ON;6001:HC:0,OFF;");

    remoteIfDouble.sysTime = 7000;
    RemoteIF_onNewTestModeCmdData(0x85, 1);
    RemoteIF_onNewTestModeCmdData(0x99, 0xBEEF);
    RemoteIF_onNewTestModeCmdData(5, 0);
    EXPECT_EQ(takeState(), "7000:TR:SWITCH_ON_HEATER,0x85,0x0001;"
                           "7000:TR:INVALID_MCTEST_COMMAND[153],0x99,0xBEEF;"
                           "7000:TR:TEST_MODE_ON,0x05,0x0000;");
}

TEST_F(MachineEventsTest, MotorDataEntries)
{
    remoteIfDouble.motorValueFT = -2;
    remoteIfDouble.motorValueTS = -100000;
    Payload primary(1234567890123ULL);
    primary.u16(10, uint16_t(-5)).u16(12, 40).u16(14, uint16_t(-3000)).u16(16, 65535).u8(18, 1);
    RemoteIF_onNewPrimaryMotorData(primary.bytes);
    EXPECT_EQ(remoteIfDouble.motorValueCalls.load(), 2) << "FT and TS are asked for";
    EXPECT_EQ(takeState(), "1234567890123:BT:-5;1234567890123:MT:40;1234567890123:MS:-3000;"
                           "1234567890123:MC:65535;1234567890123:HT:ON;1234567890123:FT:-2;"
                           "1234567890123:TS:-100000;");

    // Failed requests yield 0; a heater byte of 0 is OFF.
    remoteIfDouble.motorValueFT = 0;
    remoteIfDouble.motorValueTS = 0;
    RemoteIF_onNewPrimaryMotorData(Payload(1).bytes);
    EXPECT_EQ(takeState(), "1:BT:0;1:MT:0;1:MS:0;1:MC:0;1:HT:OFF;1:FT:0;1:TS:0;");

    secMotDataPoll.requestFlag = 0;
    Payload secondary(99);
    secondary.u16(10, 65535).u16(12, 12).u16(14, uint16_t(-1)).u16(16, uint16_t(-32768));
    RemoteIF_onNewSecondaryMotorData(secondary.bytes);
    EXPECT_EQ(takeState(), "99:MC:65535;99:TC:12;99:MS:-1;99:MA:-32768;");
    EXPECT_EQ(secMotDataPoll.requestFlag, 1) << "an answer asks for the next request";
}

TEST_F(MachineEventsTest, GuiTemperatureAndTimerEntriesCarryTheMachineTime)
{
    remoteIfDouble.sysTime = 1700000000999ULL;
    GUI_IF_onCurrentTemperatureChanged(4000000000u);
    GUI_IF_onTimeChangedByApplication(2, 5);
    remoteIfDouble.sysTime = 0;   // machine control unreachable
    GUI_IF_onTimeChangedByApplication(0, 59);
    EXPECT_EQ(takeState(), "1700000000999:DT:4000000000;1700000000999:TI:125;0:TI:59;");
}

// Parks a thread in waitForGuiStateChange and returns its result once it
// comes back (or ETIMEDOUT after the bound, if no broadcast reached it).
class Waiter {
public:
    Waiter()
    {
        result_ = std::async(std::launch::async, [this] {
            guiStateLock();
            waiting_ = true;   // seen by the test only once the wait released the lock
            int r = waitForGuiStateChange(5000);
            guiStateUnlock();
            return r;
        });
        // The waiter set its flag under the lock and only lets go of the
        // lock inside the wait: once the flag is seen under the lock, it waits.
        for (;;) {
            guiStateLock();
            bool ready = waiting_;
            guiStateUnlock();
            if (ready)
                break;
            std::this_thread::yield();
        }
    }
    int result() { return result_.get(); }

private:
    bool waiting_ = false;
    std::future<int> result_;
};

TEST_F(MachineEventsTest, EqualSpeedsLogOnceButWakeWaitersEachTime)
{
    remoteIfDouble.sysTime = 42;
    // The speed an earlier test left is not this test's business: 0 first.
    GUI_IF_onSpeedChangedByApplication(0);
    takeState();
    GUI_IF_onSpeedChangedByApplication(0);   // the same value again: no change
    EXPECT_EQ(takeState(), "");

    Waiter first;
    GUI_IF_onSpeedChangedByApplication(55);
    EXPECT_EQ(first.result(), 0);
    Waiter second;
    GUI_IF_onSpeedChangedByApplication(55);
    EXPECT_EQ(second.result(), 0) << "an unchanged speed still wakes waiters";
    EXPECT_EQ(takeState(), "42:GS:55;");
    EXPECT_EQ(getGuiSpeed(true), 55);

    // Readers see the speed and its status as 16-bit values.
    GUI_IF_onSpeedChangedByApplication(70000);
    GUI_IF_onSpeedStatusChanged(0x10002);
    EXPECT_EQ(getGuiSpeed(true), int16_t(70000 - 65536));
    EXPECT_EQ(getGuiSpeedStatus(true), 2);
    EXPECT_EQ(takeState(), "42:GS:70000;");
}

TEST_F(MachineEventsTest, DirectionModeAndStatusWakeWaiters)
{
    Waiter direction;
    GUI_IF_onRotationDirectionChanged(1);
    EXPECT_EQ(direction.result(), 0);
    Waiter mode;
    GUI_IF_onMotorModeChanged(3);
    EXPECT_EQ(mode.result(), 0);
    Waiter status;
    GUI_IF_onSpeedStatusChanged(2);
    EXPECT_EQ(status.result(), 0);

    guiStateLock();
    EXPECT_EQ(getGuiRotationDirection(false), 1);
    EXPECT_EQ(getGuiMotorMode(false), 3);
    EXPECT_EQ(getGuiSpeedStatus(false), 2);
    EXPECT_EQ(waitForGuiStateChange(20), ETIMEDOUT) << "no event: the wait runs out";
    EXPECT_EQ(ETIMEDOUT, 110);
    guiStateUnlock();
    EXPECT_EQ(takeState(), "") << "these values are not logged";
}

TEST_F(MachineEventsTest, ANewErrorReplacesAPendingOneWithAWarning)
{
    Waiter waiter;
    GUI_IF_onErrorAndWarnings(22);
    EXPECT_EQ(waiter.result(), 0);
    EXPECT_TRUE(logged(4).empty()) << "nothing was pending";

    GUI_IF_onErrorAndWarnings(23);
    auto warnings = logged(4);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("GUI_IF_onErrorAndWarnings,", 0), 0u) << warnings[0];
    EXPECT_NE(warnings[0].find(": WARNING: Previous error 22 overwritten by 23!\n"), std::string::npos)
        << warnings[0];

    EXPECT_EQ(getLastGuiError(true), 23) << "looking does not take it";
    EXPECT_EQ(takeLastGuiError(true), 23);
    EXPECT_EQ(takeLastGuiError(true), 0) << "taking resets it";

    GUI_IF_onErrorAndWarnings(5);
    GUI_IF_onErrorAndWarnings(0);   // a code of 0 clears it (after the warning)
    EXPECT_EQ(takeLastGuiError(true), 0);
    EXPECT_EQ(logged(4).size(), 2u);
}

} // namespace
