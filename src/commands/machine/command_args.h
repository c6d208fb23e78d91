// Small pieces the machine-control handlers share: the argument text, text
// answers, and the millisecond argument of the timed commands.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

// The argument text, or null when the client sent none or an empty one: an
// empty text is no argument, so that it is refused rather than read as 0.
inline const char *argumentText(const Command *request)
{
    const char *text = commandText(request);
    return text && *text ? text : nullptr;
}

// An answer with `text` exactly as written, under the request's index and
// tag.
inline Command *answerText(const Command *request, const char *text)
{
    return createStringCommand(request->index, request->tag, "%s", text);
}

inline Command *answerAck(const Command *request)
{
    return createAckCommand(request->index, request->tag);
}

// "ACK" when machine control took the request, `failure` otherwise.
inline Command *answerOutcome(const Command *request, bool accepted, const char *failure = "NAK: Unsuccessful")
{
    return accepted ? answerAck(request) : answerText(request, failure);
}

// Reads a time in milliseconds that must fit 16 bits. Null with the value
// in *ms, or the NAK answer: the number parser's, or the range answer.
Command *parseMillisArgument(const Command *request, uint16_t *ms);
