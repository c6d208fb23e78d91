// Lid, relays, heating, ambient light and transport: each reads its
// argument, sends one request to machine control and answers; the
// transport command also waits for the bowl state that results.
#include <cstring>
#include <string>

#include "commands/machine/command_args.h"
#include "commands/machine/machine_commands.h"
#include "monitor/gui_state.h"
#include "platform/clock.h"
#include "requests/gui_if.h"
#include "requests/remote_if.h"
#include "requests/request_codes.h"

namespace {

// The commands that switch one thing on or off and differ only in their
// words, their request and the text of their failure.
struct SwitchCommand {
    const char *onWord;
    const char *offWord;
    uint8_t (*request)(uint8_t on);
    const char *failure;
};

// Rows in the order of SwitchRow. The lid and relay failures are spelt
// with one s: clients compare them.
enum SwitchRow { LOCK_LID, SWITCH_RELAYS, SET_HEATING, SWITCH_ROWS };
const SwitchCommand kSwitchCommands[SWITCH_ROWS] = {
    {"CLOSE", "OPEN", RemoteIF_handleBowl, "NAK: Unsuccesful"},
    {"CLOSE", "OPEN", RemoteIF_handlePowerRelay, "NAK: Unsuccesful"},
    {"ON", "OFF", RemoteIF_setHeating, "NAK: Unsuccessful"},
};

Command *switchCommand(const Command *request, SwitchRow row)
{
    const SwitchCommand &command = kSwitchCommands[row];
    Command *error = nullptr;
    int on = parseArgBool(request, command.onWord, command.offWord, &error);
    if (error)
        return error;
    return answerOutcome(request, command.request(uint8_t(on)) != 0, command.failure);
}

// How long MCH_SET_TRANSP waits for machine control to report the bowl,
// and how often it looks.
constexpr int64_t BOWL_REPORT_WAIT_MS = 10000;
constexpr unsigned BOWL_POLL_MS = 100;

// Measured on the monotonic clock: setting the time of day (MCH_SET_TIME_AND_DATE)
// must neither cut the wait short nor stretch it.
const PollClock kMonotonicPollClock = {monotonicMs, sleepMs};
const PollClock *bowlPollClock = &kMonotonicPollClock;

// Waits until a bowl state is reported, at most BOWL_REPORT_WAIT_MS.
int32_t awaitBowlState()
{
    const PollClock &clock = *bowlPollClock;
    const int64_t start = clock.nowMs();
    int32_t state;
    while ((state = BowlLockState.load()) == BOWL_STATE_UNKNOWN) {
        if (clock.nowMs() - start >= BOWL_REPORT_WAIT_MS)
            break;
        clock.sleepMs(BOWL_POLL_MS);
    }
    return state;
}

} // namespace

void setBowlPollClock(const PollClock *clock)
{
    bowlPollClock = clock ? clock : &kMonotonicPollClock;
}

Command *cmdHandler_MCHLockLid(Command *request, int /*socket*/)
{
    return switchCommand(request, LOCK_LID);
}

Command *cmdHandler_MCHSwitchRelays(Command *request, int /*socket*/)
{
    return switchCommand(request, SWITCH_RELAYS);
}

Command *cmdHandler_MCHSetHeating(Command *request, int /*socket*/)
{
    return switchCommand(request, SET_HEATING);
}

Command *cmdHandler_MCHHeatCtrl(Command *request, int /*socket*/)
{
    Command *error = nullptr;
    int on = parseArgBool(request, "ON", "OFF", &error);
    if (error)
        return error;
    // Handing the request over is all; machine control's status is not
    // part of the answer.
    RemoteIF_activateRemoteHeatingControl(uint8_t(on));
    return answerAck(request);
}

Command *cmdHandler_MCHSetTemp(Command *request, int /*socket*/)
{
    Command *error = nullptr;
    // The unit and range are machine control's; any 32-bit number passes.
    int32_t temperature = parseArgINT32(request, argumentText(request), &error);
    if (error)
        return error;
    GUI_IF_setTemperatureByGUI(temperature);
    return answerAck(request);
}

Command *cmdHandler_MCHAmbiLight(Command *request, int /*socket*/)
{
    // The percent signs are part of the texts clients know.
    static const char *const kWrongArguments = "NAK: Wrong arguments, specify %_green,%_red";
    const char *text = argumentText(request);
    if (!text)
        return answerText(request, "NAK: No arguments, specify %_green,%_red");
    const char *comma = strchr(text, ',');
    if (!comma)
        return answerText(request, kWrongArguments);

    std::string greenText(text, comma);
    Command *error = nullptr;
    uint32_t green = parseArgUINT32(request, greenText.c_str(), &error);
    if (error)
        return error;
    uint32_t red = parseArgUINT32(request, comma + 1, &error);
    if (error)
        return error;
    if (green > 100 || red > 100)
        return answerText(request, kWrongArguments);
    // Clients say green first; machine control takes red first.
    return answerOutcome(request, RemoteIF_setAmbilightPWM(uint8_t(red), uint8_t(green)) != 0);
}

Command *cmdHandler_MCHSetTransp(Command *request, int /*socket*/)
{
    Command *error = nullptr;
    int on = parseArgBool(request, "ON", "OFF", &error);
    if (error)
        return error;

    // Only a report that comes after the request counts.
    BowlLockState.store(BOWL_STATE_UNKNOWN);
    GUI_IF_RequestMotorFunctionByGUI(on ? MOTOR_TRANSPORT : MOTOR_NORMAL);

    switch (awaitBowlState()) {
    case BOWL_STATE_CLOSED:
        return on ? answerAck(request) : answerText(request, "NAK: Bowl closed, should be open");
    case BOWL_STATE_OPEN:
        return on ? answerText(request, "NAK: Bowl open, should be closed") : answerAck(request);
    default:
        return answerText(request, on ? "NAK: Bowl staus unknown, should be closed"
                                      : "NAK: Bowl staus unknown, should be open");
    }
}

Command *cmdHandler_MCHMillisTransp(Command *request, int /*socket*/)
{
    uint16_t ms = 0;
    if (Command *error = parseMillisArgument(request, &ms))
        return error;
    return answerOutcome(request, RemoteIF_setTransportTime(ms) != 0);
}
