#include "platform/shell.h"

#include <cstdlib>

#include "platform/paths.h"

int runShellCommand(const char *commandLine) { return system(commandLine); }

void killHeartbeatScript()
{
    if (mifRoot().empty())
        runShellCommand("killall heartbeat.sh");
}
