// The simulator's control commands, for people (typed on the simulator's
// console) and for tests and scripts (written to $MIF_ROOT/run/sim.ctl, or
// sent with `mif-sim ctl ...`). One command a line; words are separated by
// blanks or commas.
#pragma once

#include <functional>
#include <string>
#include <vector>

#define CONTROL_FIFO "/run/sim.ctl"
// Where a command's answer for the caller of `mif-sim ctl` goes ("status").
#define CONTROL_REPLY_FILE "/run/sim.ctl.reply"

// Where a command goes: one of the appliance's processes, or the
// appliance itself (devices, renderings, quitting).
enum ControlTarget { TARGET_MCL, TARGET_LOGGER, TARGET_NETLINK, TARGET_APPLIANCE };

struct ControlCommand {
    const char *word;
    const char *usage;
    const char *help;
    ControlTarget target;
};

// The command of a line's first word, or null.
const ControlCommand *findControlCommand(const std::string &word);

// The text of "help".
std::string controlHelp();

// What the appliance does for the commands it carries out itself.
struct ApplianceActions {
    std::function<void(ControlTarget, const std::string &line)> forward;
    std::function<void()> quit;
};

// Carries out one line; false when it is not a command (the caller says so).
bool runControlLine(const std::string &line, const ApplianceActions &actions);

// Creates the control FIFO (an existing one is kept) and opens it for
// reading without ever seeing its end (the reader holds a writing end too).
// -1 with *error set on failure.
int openControlFifo(std::string *error);

// Writes one line to a running simulator's control FIFO.
bool sendControlLine(const std::string &line, std::string *error);

// The answer of a command for whoever sent it: written whole (atomically)
// to the reply file, which `mif-sim ctl` waits for.
bool writeControlReply(const std::string &text);

// Sends one line and waits up to `timeoutMs` for the answer in the reply
// file (an older answer is removed first). False with *error set when the
// line cannot be sent or no answer came.
bool sendControlLineForReply(const std::string &line, int timeoutMs, std::string *reply, std::string *error);
