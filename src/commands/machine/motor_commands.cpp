// Motor commands: they drive the motor the way a user at the appliance
// would, with the GUI's own requests and, for the speed, turns of the knob.
// Only the four-number speed form commands the motor directly.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/machine/command_args.h"
#include "commands/machine/machine_commands.h"
#include "monitor/gui_state.h"
#include "monitor/tables.h"
#include "platform/clock.h"
#include "requests/gui_if.h"
#include "requests/remote_if.h"
#include "requests/request_codes.h"

namespace {

// How long machine control has to report the target speed, in its own
// milliseconds.
constexpr uint32_t SPEED_TARGET_WAIT_MS = 10000;
// The bookkeeping above runs on the machine's clock; should that clock stop
// answering or run backwards, the wait still ends after twice as long on
// the daemon's own monotonic clock.
constexpr int64_t SPEED_WAIT_BACKSTOP_MS = 2 * int64_t(SPEED_TARGET_WAIT_MS);
constexpr int16_t SPEED_STATUS_REACHED = 2;
// GUI speeds in tenths: "SOFT", and the steps that reach 0 from any speed.
constexpr int32_t GUI_SPEED_SOFT = 3;
constexpr int32_t KNOB_STEPS_TO_ZERO = -24;
constexpr unsigned KNOB_STEP_PAUSE_MS = 50;
constexpr int8_t STEPS_NOT_COMPUTABLE = 127;

struct GuiStateGuard {
    GuiStateGuard() { guiStateLock(); }
    ~GuiStateGuard() { guiStateUnlock(); }
    GuiStateGuard(const GuiStateGuard &) = delete;
    GuiStateGuard &operator=(const GuiStateGuard &) = delete;
};

// The speed as the GUI shows it: "SOFT", or a number with a dot whose
// digits, the dot dropped, are the speed in tenths ("10.0" is 100, "0.5" is
// 5). Only speeds of the table count, and never 1 or 2, which the knob
// skips.
bool readGuiSpeed(const Command *request, int32_t *speed)
{
    const char *text = argumentText(request);
    if (!text)
        return false;
    if (strcmp(text, "SOFT") == 0) {
        *speed = GUI_SPEED_SOFT;
        return true;
    }
    const char *dot = strchr(text, '.');
    if (!dot)
        return false;
    std::string digits = std::string(text, dot) + (dot + 1);
    // A lone dot has no digits; it is not speed 0.
    if (digits.empty())
        return false;
    Command *error = nullptr;
    uint32_t value = parseArgUINT32(request, digits.c_str(), &error);
    if (error) {
        deleteCommand(&error);
        return false;
    }
    if (value > uint32_t(INT32_MAX))
        return false;
    int32_t key = int32_t(value);
    if (key == 1 || key == 2 || guiSpeedToMotorSpeed(key) == 0xFFFF)
        return false;
    *speed = key;
    return true;
}

// Four numbers separated by commas, passed to machine control unchanged:
// the first at most 255, the others at most 65535.
Command *setRawSpeed(const Command *request)
{
    static const char *const kInvalid = "NAK: Invalid argument";
    const char *text = commandText(request);
    std::string rest = text ? text : "";
    uint32_t values[4] = {};
    size_t count = 0;
    size_t at = 0;
    while (at < rest.size()) {
        size_t comma = rest.find(',', at);
        if (comma == std::string::npos)
            comma = rest.size();
        std::string piece = rest.substr(at, comma - at);
        at = comma + 1;
        if (piece.empty())
            continue;
        if (count == 4)
            return answerText(request, kInvalid);
        Command *error = nullptr;
        uint32_t value = parseArgUINT32(request, piece.c_str(), &error);
        if (error) {
            // The last number's own answer is kept; the others say only
            // that the argument is wrong.
            if (count == 3)
                return error;
            deleteCommand(&error);
            return answerText(request, kInvalid);
        }
        if (value > (count == 0 ? 255u : 65535u))
            return answerText(request, kInvalid);
        values[count++] = value;
    }
    if (count < 4)
        return answerText(request, kInvalid);
    return answerOutcome(request, RemoteIF_setSpeed(uint8_t(values[0]), uint16_t(values[1]),
                                                    uint16_t(values[2]), uint16_t(values[3])));
}

enum class SpeedWait { Reached, TimedOut, MachineError };

// Waits, holding the GUI state lock, until machine control reports the
// speed status "reached" or an error. The time left is kept on the machine's
// clock: each pass subtracts what elapsed there since the last reading.
SpeedWait awaitTargetSpeed(int32_t *error)
{
    uint64_t last = RemoteIF_getSysTime();
    uint32_t remaining = SPEED_TARGET_WAIT_MS;
    const int64_t backstop = monotonicMs() + SPEED_WAIT_BACKSTOP_MS;
    for (;;) {
        if (waitForGuiStateChange(remaining) == ETIMEDOUT)
            return SpeedWait::TimedOut;
        if (getGuiSpeedStatus(false) == SPEED_STATUS_REACHED)
            return SpeedWait::Reached;
        *error = takeLastGuiError(false);
        if (*error != 0)
            return SpeedWait::MachineError;
        // A failed reading (0) costs no time and is no new base: the next
        // good reading counts from the last good one. A clock that went back
        // costs no time either, and the next reading counts from it.
        if (uint64_t now = RemoteIF_getSysTime(); now != 0) {
            uint64_t elapsed = last != 0 && now > last ? now - last : 0;
            remaining = elapsed >= remaining ? 0 : remaining - uint32_t(elapsed);
            last = now;
        }
        if (monotonicMs() >= backstop)
            remaining = 0;
    }
}

void turnKnob(int32_t steps)
{
    uint16_t command = steps > 0 ? KNOB_STEP_UP : KNOB_STEP_DOWN;
    for (int32_t i = std::abs(steps); i > 0; i--) {
        GUI_IF_setRemoteCommands(command);
        sleepMs(KNOB_STEP_PAUSE_MS);
    }
}

// Turns the knob from the speed the GUI reports to `target`.
void turnKnobTo(int32_t target)
{
    if (target == 0) {
        turnKnob(KNOB_STEPS_TO_ZERO);
        return;
    }
    int8_t steps = guiSpeedSteps(getGuiSpeed(true), target);
    if (steps == STEPS_NOT_COMPUTABLE) {
        // The current speed is none the knob stops at: counting from it
        // would mean turning up all the way. Down to 0 first, which every
        // speed reaches, then up from there.
        turnKnob(KNOB_STEPS_TO_ZERO);
        steps = guiSpeedSteps(0, target);
    }
    turnKnob(steps);
}

Command *setGuiSpeed(const Command *request, int32_t target)
{
    Command *answer = nullptr;
    bool reached = false;
    {
        GuiStateGuard held;
        GUI_IF_RequestRotaryModeByGUI(ROTARY_MODE_SET_SPEED);
        int32_t error = 0;
        switch (awaitTargetSpeed(&error)) {
        case SpeedWait::Reached:
            reached = true;
            break;
        case SpeedWait::TimedOut:
            answer = answerText(request, "NAK: Timeout while waiting for target value!");
            break;
        case SpeedWait::MachineError: {
            char buffer[MACHINE_NAME_SIZE];
            answer = createStringCommand(request->index, request->tag, "NAK: Machine reported error %s",
                                         machineErrorName(error, buffer, sizeof buffer));
            break;
        }
        }
    }
    if (reached) {
        turnKnobTo(target);
        answer = answerAck(request);
    }
    // The knob goes back to its normal mode whatever happened.
    GUI_IF_RequestRotaryModeByGUI(ROTARY_MODE_NORMAL);
    return answer;
}

} // namespace

Command *cmdHandler_MCHSetSpeed(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    int32_t speed = 0;
    Command *answer = readGuiSpeed(request, &speed) ? setGuiSpeed(request, speed) : setRawSpeed(request);
    MIF_TRACE_LEAVE();
    return answer;
}

Command *cmdHandler_MCHSetMotMode(Command *request, int /*socket*/)
{
    static const struct {
        const char *word;
        int32_t mode;
    } kModes[] = {{"NORMAL", MOTOR_NORMAL}, {"TURBO", MOTOR_TURBO}, {"DOUGH", MOTOR_DOUGH}, {"MACRO", MOTOR_MACRO}};

    const char *text = argumentText(request);
    if (!text)
        return answerText(request, "NAK: No arguments, use NORMAL, TURBO, DOUGH, or MACRO!");
    for (const auto &row : kModes) {
        if (strcmp(text, row.word) != 0)
            continue;
        if (getGuiMotorMode(true) == row.mode)
            return answerText(request, "NAK: Motor mode already set!");
        GUI_IF_RequestMotorFunctionByGUI(row.mode);
        return answerAck(request);
    }
    return answerText(request, "NAK: Wrong arguments, use NORMAL, TURBO, DOUGH, or MACRO!");
}

Command *cmdHandler_MCHSetMotRotDir(Command *request, int /*socket*/)
{
    Command *error = nullptr;
    int regular = parseArgBool(request, "REGULAR", "REVERSE", &error);
    if (error)
        return error;
    int32_t direction = regular ? 0 : 1;
    if (getGuiRotationDirection(true) == direction)
        return answerText(request, "NAK: Motor already rotating in requested direction");
    GUI_IF_RequestRotationByGUI(direction);
    return answerAck(request);
}

Command *cmdHandler_MCHSetTime(Command *request, int /*socket*/)
{
    const char *text = argumentText(request);
    if (!text)
        return answerText(request, "NAK: No arguments, specify time; for turbo-time, specify TURBO:<milliseconds>!");
    const char *colon = strchr(text, ':');
    Command *error = nullptr;
    uint32_t number = parseArgUINT32(request, colon ? colon + 1 : text, &error);
    if (error)
        return error;
    if (colon) {
        if (strncmp(text, "TURBO:", 6) != 0)
            return answerText(request,
                              "NAK: Invalid arguments, specify time; for turbo-time, specify TURBO:<milliseconds>!");
        GUI_IF_setTurboTimeByGUI(int32_t(number));
        return answerAck(request);
    }
    GUI_IF_setTimeByGUI(int32_t(number / 60), int32_t(number % 60));
    return answerAck(request);
}
