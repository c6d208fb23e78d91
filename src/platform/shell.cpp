#include "platform/shell.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/paths.h"

int runShellCommand(const char *commandLine) { return system(commandLine); }

void killHeartbeatScript()
{
    if (mifRoot().empty())
        runShellCommand("killall heartbeat.sh");
}

int runApplianceScript(const char *appliancePath)
{
    std::string path = mifPath(appliancePath);
    if (!mifRoot().empty() && access(path.c_str(), X_OK) != 0)
        return -1;
    // Quoted for the shell: a simulated root may hold any character.
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return runShellCommand(quoted.c_str());
}
