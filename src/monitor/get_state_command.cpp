#include "monitor/get_state_command.h"

#include <cstdlib>

#include "monitor/state_log.h"
#include "session/command_list.h"

Command *cmdHandler_MCHGetState(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    if (getStateEntryCount() == 0) {
        MIF_TRACE_LEAVE();
        return createStringCommand(request->index, request->tag, "NAK: State buffer empty");
    }
    // Entries appended since the count are included; a log emptied in
    // between by another reader gives an empty text (length 1).
    Command *answer = static_cast<Command *>(calloc(1, sizeof(Command)));
    uint32_t textLength = 0;
    char *text = answer ? MIF_GetMachineState::instance().takeAll(&textLength) : nullptr;
    if (!text) {
        // Out of memory: the entries stay in the log for the next try.
        free(answer);
        MIF_TRACE_LEAVE();
        return createStringCommand(request->index, request->tag, "NAK: Unsuccessful");
    }
    answer->index = MCH_GET_STATE;
    answer->tag = request->tag;
    answer->data = reinterpret_cast<uint8_t *>(text);
    answer->length = textLength + 1;
    MIF_TRACE_LEAVE();
    return answer;
}
