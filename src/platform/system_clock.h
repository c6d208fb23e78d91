// Setting the system clock to a local date and time.
//
// On the appliance the kernel is first asked to slew the clock by the
// difference in whole seconds (adjtime), so that running timers see no
// jump; when it refuses (it does for differences of more than about half an
// hour), the clock is stepped to the target (clock_settime).
//
// Under MIF_ROOT the host's clock is never touched: the request is recorded
// in $MIF_ROOT/run/clock instead, as lines of "name value":
//     target 1893495600
//     local 2030-01-01 12:00:00
//     adjust 181234567
// (the target in seconds since the epoch, the target as the normalised local
// time, and the adjustment the appliance would have asked for).
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

// As a user writes it: month 1 to 12, the year in full.
struct LocalDateTime {
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
};

enum ClockSetOutcome : int32_t {
    CLOCK_SET_DONE = 0,
    CLOCK_CONVERT_FAILED,   // no calendar time for the date (`error`)
    CLOCK_READ_FAILED,      // the current time could not be read (`error`)
    CLOCK_SET_FAILED,       // slewing and stepping both refused
};

struct ClockSetResult {
    ClockSetOutcome outcome = CLOCK_SET_DONE;
    int error = 0;          // errno of a failed conversion or read
    int slewError = 0;      // adjtime's errno; 0 when the slew was accepted
    int stepError = 0;      // clock_settime's errno when stepping failed too
    int64_t target = 0;     // seconds since the epoch
    int64_t adjustment = 0; // target minus the current time, whole seconds
};

// The operating-system calls the setting goes through. Each returns 0 or -1
// with errno set, like the calls they stand for.
struct ClockOps {
    int (*readTime)(timeval *now);          // gettimeofday
    int (*slew)(const timeval *delta);      // adjtime
    int (*step)(const timespec *target);    // clock_settime(CLOCK_REALTIME)
};

// Sets the clock: the kernel's calls on the appliance, the record under
// MIF_ROOT.
ClockSetResult setSystemClock(const LocalDateTime &when);

// The same sequence over the given calls (tests pass their own).
ClockSetResult setSystemClockWith(const ClockOps &ops, const LocalDateTime &when);
