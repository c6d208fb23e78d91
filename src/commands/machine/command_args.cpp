#include "commands/machine/command_args.h"

Command *parseMillisArgument(const Command *request, uint16_t *ms)
{
    Command *error = nullptr;
    uint32_t value = parseArgUINT32(request, argumentText(request), &error);
    if (error)
        return error;
    if (value > 65535)
        return answerText(request, "NAK: Wrong argument, specify time in ms (max 65535)");
    *ms = uint16_t(value);
    return nullptr;
}
