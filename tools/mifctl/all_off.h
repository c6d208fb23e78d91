// Leaving the machine at rest with the daemon's own commands, and stopping
// what a command started when Ctrl-C interrupts it (--stop-on-exit).
#pragma once

#include <string>
#include <vector>

#include "connection.h"
#include "run.h"

// What a request can leave running.
enum Actuator : unsigned { ACTUATOR_MOTOR = 1u, ACTUATOR_HEATER = 2u, ACTUATOR_ALL = 3u };

// The answer to one step of all-off.
struct AllOffResult {
    std::string what;      // "motor (raw stop)", "heater", ...
    std::string command;   // the daemon's name of the command sent
    std::string answer;    // the daemon's answer
    bool ok = false;       // answered ACK
};

// Sends the steps that stop `actuators`, in order, each even when an
// earlier one was refused: the raw speed form's stop (at once, however the
// motor was started), the knob down to 0 (so the display agrees), heating
// off, remote heating control off. False when the connection failed
// (*error says why); *results holds the steps answered until then.
bool allOff(Session &session, unsigned actuators, std::vector<AllOffResult> *results, std::string *error);

// allOff with one line per step: "heater: ACK" on standard output, refusals
// on standard error. EXIT_ANSWER_OK when every step was acknowledged,
// EXIT_ANSWER_NAK when one was refused, EXIT_CONNECTION when the
// connection failed.
int runAllOff(Session &session, unsigned actuators);

// The actuators a request switches on: a speed other than a stop, heating
// ON, remote heating control ON. 0 for everything else.
unsigned actuatorsStartedBy(const PreparedRequest &request);

// --stop-on-exit: from here on Ctrl-C does not end mifctl at once; the
// command in hand is finished (its answer read, so the session stays in
// step) and then stopInterrupted stops what it started.
void watchInterrupt();
bool interruptSeen();
// Stops `started` (actuatorsStartedBy of the commands run; nothing when 0),
// saying why on standard error. Returns `code`, or EXIT_CONNECTION when the
// stop could not be sent.
int stopStarted(Session &session, unsigned started, const char *why, int code);
// stopStarted, when Ctrl-C came.
int stopInterrupted(Session &session, unsigned started, int code);
