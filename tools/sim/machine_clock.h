// Machine control's clock: milliseconds of machine time, the time stamps of
// machine events and of the service logs. Every simulated process under one
// root reads the same clock: the file $MIF_ROOT/run/machine-clock holds the
// machine time at one instant of the host's monotonic clock, and the time
// runs on from there.
#pragma once

#include <cstdint>

// The machine time a fresh appliance starts at: ten hours of operation, so
// that the seeded service logs lie in the past.
enum : uint64_t { MACHINE_CLOCK_FRESH_MS = 36000000 };

// Starts the clock for this run of the appliance: it goes on from where the
// last run of the same root left it, or from MACHINE_CLOCK_FRESH_MS. Called
// by the appliance before it starts its processes. False when the file
// cannot be written.
bool machineClockStart();

// The machine time now. A process started on its own finds the clock file
// of a running appliance, or starts one.
uint64_t machineTimeMs();
