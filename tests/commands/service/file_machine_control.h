// Machine control as the file commands need it: the machine-time request
// (code 23), answered in the test process over the project's messaging
// library, on the same simulated root as the daemon under test.
#pragma once

#include <cstdint>
#include <string>

// Serves "Mcl"'s reply endpoint under `root` (which becomes this process's
// MIF_ROOT while it runs) and answers the machine time with `timeMs`; every
// other request gets an empty success reply. False when it cannot start.
bool startMachineControl(const std::string &root, uint64_t timeMs);
void stopMachineControl();

// How many machine-time requests were answered since the start.
int machineTimeRequests();
