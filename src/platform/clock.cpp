#include "platform/clock.h"

#include <cerrno>
#include <ctime>

static int64_t clockMs(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t monotonicMs() { return clockMs(CLOCK_MONOTONIC); }
int64_t wallClockMs() { return clockMs(CLOCK_REALTIME); }

uint64_t monotonicUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

void sleepMs(unsigned ms)
{
    timespec req{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {
    }
}
