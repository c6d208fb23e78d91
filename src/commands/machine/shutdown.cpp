// MCH_SHUTDOWN: the orderly end of the appliance software. The daemon
// answers first; the session then leaves its loop, and once no session is
// active the daemon asks the supervisor to shut down and stops.
#include "commands/machine/command_args.h"
#include "commands/machine/machine_commands.h"
#include "frame/run_state.h"

Command *cmdHandler_MCHShutdown(Command *request, int /*socket*/)
{
    // The number only has to be a valid delay; the daemon does not wait.
    uint16_t delay = 0;
    if (Command *error = parseMillisArgument(request, &delay))
        return error;
    Command *answer = answerAck(request);
    requestShutdown();
    return answer;
}
