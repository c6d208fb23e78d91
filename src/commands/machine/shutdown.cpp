// MCH_SHUTDOWN: the orderly end of the appliance software. The daemon
// answers first; the session then leaves its loop, and once no session is
// active the daemon asks the supervisor to shut down and stops.
#include "commands/machine/machine_commands.h"

#include "frame/run_state.h"

Command *cmdHandler_MCHShutdown(Command *request, int /*socket*/)
{
    Command *error = nullptr;
    uint32_t delay = parseArgUINT32(request, commandText(request), &error);
    if (error)
        return error;
    // The number only has to be a valid delay; the daemon does not wait.
    if (delay > 65535)
        return createStringCommand(request->index, request->tag, "NAK: Wrong argument, specify time in ms (max 65535)");
    Command *answer = createAckCommand(request->index, request->tag);
    requestShutdown();
    return answer;
}
