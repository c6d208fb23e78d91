// The three monitoring threads the main thread owns: the touch monitor, the
// rotary monitor and the secondary-motor-data poll.
#pragma once

// Starts them in that order. A thread that cannot be started is logged and
// left out; the daemon goes on without it. One that runs already is not
// started twice.
void startMonitoringThreads();

// Joins them in the same order; the caller has set stopRequested first
// (requestStop), and none of them waits longer than a fraction of a second
// to notice it. Threads never started are skipped.
void joinMonitoringThreads();
