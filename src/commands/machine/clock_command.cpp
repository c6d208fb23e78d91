// MCH_SET_TIME_AND_DATE: sets the appliance's clock to a local date and
// time given as dd.mm.yyyy-hh:mm:ss.
#include <cinttypes>
#include <cstdio>

#include "commands/machine/command_args.h"
#include "commands/machine/machine_commands.h"
#include "platform/system_clock.h"

namespace {

// Unsigned comparisons, so that negative numbers fail too.
bool within(int32_t value, int32_t low, int32_t high)
{
    return uint32_t(value) - uint32_t(low) <= uint32_t(high) - uint32_t(low);
}

bool validDateTime(const LocalDateTime &t)
{
    // The day is not compared with the month's length: the conversion
    // carries 31 February into March.
    return within(t.month, 1, 12) && within(t.day, 1, 31) && within(t.year, 1900, 11899) &&
           within(t.hour, 0, 23) && within(t.minute, 0, 59) && within(t.second, 0, 59);
}

// The six fields of "dd.mm.yyyy-hh:mm:ss" as "%d.%d.%d-%d:%d:%d" reads
// them on the appliance: white space before each number, the separators
// exactly, whatever follows the seconds ignored, and each number in the
// range of the appliance's 32-bit long. On a 64-bit host %d would take
// "4294967297" for 1; here, as there, it is out of range and stays too
// large to be valid. False when a field is missing.
bool readDateTimeFields(const char *text, LocalDateTime *when)
{
    int32_t *const fields[6] = {&when->day, &when->month, &when->year, &when->hour, &when->minute, &when->second};
    const char separators[5] = {'.', '.', '-', ':', ':'};
    const char *at = text;
    for (int i = 0; i < 6; i++) {
        if (i > 0 && *at++ != separators[i - 1])
            return false;
        const char *end = nullptr;
        bool outOfRange = false;
        *fields[i] = strtol32(at, &end, 10, &outOfRange);
        if (end == at)
            return false;
        at = end;
    }
    return true;
}

} // namespace

Command *cmdHandler_MCHSetTimeAndDate(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    const char *text = argumentText(request);
    if (!text) {
        MIF_TRACE_LEAVE();
        return answerText(request, "NAK: No arguments, specify time; format: dd.mm.yyyy-hh:mm:ss\n");
    }
    LocalDateTime when{};
    // Fields that were not read have no value to check: such an argument is
    // as invalid as a wrong number.
    if (!readDateTimeFields(text, &when) || !validDateTime(when)) {
        MIF_TRACE_LEAVE();
        return answerText(request, "NAK: Invalid parameters.\n");
    }

    ClockSetResult result = setSystemClock(when);
    Command *answer = nullptr;
    switch (result.outcome) {
    case CLOCK_SET_DONE:
        answer = answerAck(request);
        break;
    case CLOCK_CONVERT_FAILED:
        answer = createStringCommand(request->index, request->tag, "NAK: Error setting time, errno: %i\n",
                                     result.error);
        break;
    case CLOCK_READ_FAILED:
        answer = createStringCommand(request->index, request->tag,
                                     "NAK: Error getting current system time. errno: %d\n", result.error);
        break;
    case CLOCK_SET_FAILED:
        answer = createStringCommand(request->index, request->tag,
                                     "NAK: Error setting time. adjtime() errno: %d, stime() errno: %d\n",
                                     result.slewError, result.stepError);
        break;
    }
    if (result.outcome == CLOCK_SET_DONE && result.slewError != 0)
        MIF_LOG(5, "adjtime refused (errno %d), clock stepped to %" PRId64 "\n", result.slewError, result.target);
    MIF_TRACE_LEAVE();
    return answer;
}
