// The interactive shell: one authenticated session, many commands.
//
// Every connection displaces the daemon's previous client, so a technician
// who runs many commands keeps one session here instead of reconnecting for
// each. On a terminal the line editor keeps a history (saved only when
// MIFCTL_HISTORY names a file) and completes command names; with standard
// input from a file or a pipe the lines are read as a script.
#pragma once

#include "cli.h"
#include "connection.h"
#include "run.h"

struct ShellSettings {
    Endpoint endpoint;
    KeyChoice key;
    int timeoutMs = 30000;
    RunSettings run;
};

// Runs until exit, quit or the end of input. Returns 0 on a terminal; for a
// script the highest exit code of its commands, stopping at the first that
// lost the connection.
int runShell(Session &session, const ShellSettings &settings);
