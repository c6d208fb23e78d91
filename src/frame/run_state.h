// The process-wide stop and shutdown flags.
//
// `stopRequested` tells every long-running thread to end; `shutdownRequested`
// asks for the orderly end of the daemon once no session is active. Both
// only ever go from 0 to 1 and are read without a lock. Setting one through
// the functions below also wakes whoever waits for a change, so nothing has
// to poll for them in a busy loop.
#pragma once

#include <atomic>

extern std::atomic<bool> stopRequested;
extern std::atomic<bool> shutdownRequested;

void requestStop();
void requestShutdown();

// Wakes waiters of waitRunStateChange without changing a flag (a session
// ended, for example).
void notifyRunStateChange();

// Waits until a flag is set or notifyRunStateChange is called, at most `ms`
// milliseconds.
void waitRunStateChange(unsigned ms);
