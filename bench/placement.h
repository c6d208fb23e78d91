// Where the round-trip figures run. On a machine whose cores are virtual,
// waking a thread on another core costs tens of microseconds, and whether
// the two ends of a round trip share a core is the scheduler's choice, made
// afresh in every run: unpinned, both a figure and its baseline jump
// between two levels from run to run. Kept on one core, the client, the
// server and every thread and process they start compare the work on the
// path, with the same placement for the figure and its baseline.
#pragma once

#include <sched.h>

struct OneCpu {
    cpu_set_t former;
    bool pinned = false;
    int cpu = -1;
    ~OneCpu();
};

// Keeps the calling thread on the core it runs on now; threads and
// processes it starts while pinned inherit that. False when the system
// refuses (the figure then runs unpinned).
bool pinToOneCpu(OneCpu *pin);
// Gives the calling thread its former cores back.
void unpinCpu(OneCpu *pin);
