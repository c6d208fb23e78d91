// Clocks. Ages and deadlines are measured on the monotonic clock, which no
// one can set; the wall clock is only read where a time of day is wanted.
#pragma once

#include <cstdint>

int64_t monotonicMs();
uint64_t monotonicUs();
int64_t wallClockMs();

// Sleeps for `ms` milliseconds, resuming after signals.
void sleepMs(unsigned ms);
