// Running the appliance's shell commands.
#pragma once

#include <string>

// The text as one shell word. Appliance paths (and the usual roots of a
// simulated appliance) pass through unchanged, so command lines are exactly
// the appliance's; anything else is put in single quotes, since a
// simulated root may hold any character.
std::string shellWord(const std::string &text);

// Runs a command line through /bin/sh and waits for it; returns the status
// system() reports (-1 when no shell could be started).
int runShellCommand(const char *commandLine);

// Ends the appliance's heartbeat script ("killall heartbeat.sh"). In
// simulation (MIF_ROOT set) nothing is run: the host has no such script,
// and a killall must never reach the host's own processes.
void killHeartbeatScript();

// Runs one of the appliance's own scripts, given by its appliance path (no
// arguments) and waits for it; returns its status as runShellCommand does.
// In simulation (MIF_ROOT set) the script is looked up under the root and
// skipped, returning -1, when the root has none.
int runApplianceScript(const char *appliancePath);
