#include "platform/shell.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/paths.h"

std::string shellWord(const std::string &text)
{
    bool plain = !text.empty();
    for (char c : text) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                    c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == '=' || c == '@' || c == '%';
        if (!safe) {
            plain = false;
            break;
        }
    }
    if (plain)
        return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

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
    return runShellCommand(shellWord(path).c_str());
}
