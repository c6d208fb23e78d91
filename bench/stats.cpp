#include "stats.h"

#include <algorithm>
#include <cmath>
#include <ctime>

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

static double quantile(const std::vector<double> &sorted, double q)
{
    // Nearest rank: the value below which a fraction q of the samples lie.
    size_t rank = size_t(std::ceil(q * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

Summary summarize(std::vector<double> samples)
{
    Summary s;
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    s.count = samples.size();
    s.median = quantile(samples, 0.5);
    s.p99 = quantile(samples, 0.99);
    return s;
}

double medianOf(std::vector<double> values)
{
    return summarize(std::move(values)).median;
}
