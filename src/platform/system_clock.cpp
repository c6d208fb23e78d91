#include "platform/system_clock.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <sys/stat.h>

#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace {

// The calendar time of a local date and time, the daylight saving time
// found by the C library. Out-of-range days are normalised the way mktime
// does (31 February is 3 March, or 2 March in a leap year).
bool toCalendarTime(const LocalDateTime &when, int64_t *target, tm *normalised, int *error)
{
    int64_t yearsSince1900 = int64_t(when.year) - 1900;
    if (yearsSince1900 < INT_MIN || yearsSince1900 > INT_MAX) {
        *error = EOVERFLOW;
        return false;
    }
    tm fields{};
    fields.tm_year = int(yearsSince1900);
    fields.tm_mon = when.month - 1;
    fields.tm_mday = when.day;
    fields.tm_hour = when.hour;
    fields.tm_min = when.minute;
    fields.tm_sec = when.second;
    fields.tm_isdst = -1;
    errno = 0;
    time_t seconds = mktime(&fields);
    // -1 is also one second before the epoch; only errno tells them apart.
    if (seconds == time_t(-1) && errno != 0) {
        *error = errno;
        return false;
    }
    *target = int64_t(seconds);
    *normalised = fields;
    return true;
}

bool fitsTimeT(int64_t value)
{
    return value >= int64_t(std::numeric_limits<time_t>::min()) &&
           value <= int64_t(std::numeric_limits<time_t>::max());
}

// Converts and reads the current time: the part both the appliance and the
// simulated root do.
bool prepare(int (*readTime)(timeval *), const LocalDateTime &when, ClockSetResult *result, tm *normalised)
{
    if (!toCalendarTime(when, &result->target, normalised, &result->error)) {
        result->outcome = CLOCK_CONVERT_FAILED;
        return false;
    }
    timeval now{};
    errno = 0;
    if (readTime(&now) != 0) {
        result->outcome = CLOCK_READ_FAILED;
        result->error = errno;
        return false;
    }
    result->adjustment = result->target - int64_t(now.tv_sec);
    return true;
}

int readTimeOfDay(timeval *now) { return gettimeofday(now, nullptr); }

// Under MIF_ROOT: what the appliance would have done, written down.
ClockSetResult recordClockRequest(const LocalDateTime &when)
{
    ClockSetResult result;
    tm normalised{};
    if (!prepare(readTimeOfDay, when, &result, &normalised))
        return result;
    char text[160];
    int length = snprintf(text, sizeof text,
                          "target %" PRId64 "\nlocal %04d-%02d-%02d %02d:%02d:%02d\nadjust %" PRId64 "\n",
                          result.target, normalised.tm_year + 1900, normalised.tm_mon + 1, normalised.tm_mday,
                          normalised.tm_hour, normalised.tm_min, normalised.tm_sec, result.adjustment);
    std::string directory = mifPath("/run");
    mkdir(directory.c_str(), 0755);
    int rc = writeFileAtomically(mifPath("/run/clock").c_str(), text, size_t(length));
    if (rc != 0) {
        // The record stands for both calls of the appliance.
        result.outcome = CLOCK_SET_FAILED;
        result.slewError = -rc;
        result.stepError = -rc;
    }
    return result;
}

// Decided by the variable itself rather than by the path mapping, so that
// any root at all (even "/") keeps the host's clock out of reach.
bool simulatedRoot()
{
    const char *root = std::getenv("MIF_ROOT");
    return root && *root;
}

int slewKernelClock(const timeval *delta) { return adjtime(delta, nullptr); }
int stepKernelClock(const timespec *target) { return clock_settime(CLOCK_REALTIME, target); }

} // namespace

ClockSetResult setSystemClockWith(const ClockOps &ops, const LocalDateTime &when)
{
    ClockSetResult result;
    tm normalised{};
    if (!prepare(ops.readTime, when, &result, &normalised))
        return result;

    // Only whole seconds are slewed; the fraction of the current second is
    // left as it is.
    if (fitsTimeT(result.adjustment)) {
        timeval delta{};
        delta.tv_sec = time_t(result.adjustment);
        errno = 0;
        if (ops.slew(&delta) == 0)
            return result;
        result.slewError = errno;
    } else {
        result.slewError = EINVAL;
    }

    timespec target{};
    target.tv_sec = time_t(result.target);
    errno = 0;
    if (ops.step(&target) == 0)
        return result;
    result.stepError = errno;
    result.outcome = CLOCK_SET_FAILED;
    return result;
}

ClockSetResult setSystemClock(const LocalDateTime &when)
{
    if (simulatedRoot())
        return recordClockRequest(when);
    static const ClockOps kernel = {readTimeOfDay, slewKernelClock, stepKernelClock};
    return setSystemClockWith(kernel, when);
}
