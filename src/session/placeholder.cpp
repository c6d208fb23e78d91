#include "session/placeholder.h"

Command *cmdHandler_NotImplemented(Command *request, int /*socket*/)
{
    return createStringCommand(request->index, request->tag, "NAK: Command not implemented");
}
