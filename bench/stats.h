// Timing and the statistics every figure is reported with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Nanoseconds of the monotonic clock.
int64_t nowNs();

// Latency samples reduced to what the table shows.
struct Summary {
    double median = 0;
    double p99 = 0;
    size_t count = 0;
};

// Sorts a copy; an empty sample gives zeros.
Summary summarize(std::vector<double> samples);

// The median of a few repeated measurements (throughputs, start-up times).
double medianOf(std::vector<double> values);
