// Command objects and argument parsing.
//
// Every request a client sends and every answer the daemon returns is one
// Command. Payload buffers built here always have one NUL byte more than
// `length` says, so a payload can be read as text safely even when the
// client did not terminate it: the argument text is the payload up to its
// first NUL or its end, whichever comes first.
#pragma once

#include <cstdint>

#include "frame/log.h"

struct Command {
    int32_t index;    // command table row
    int32_t tag;      // chosen by the client, echoed in the answer
    uint32_t length;  // payload bytes (text counts its NUL)
    uint8_t *data;    // owned payload, null when length is 0
};

// A new answer whose payload is the formatted text and its NUL; no payload
// with a null format. Null when memory runs out.
Command *createStringCommand(int32_t index, int32_t tag, const char *format, ...) MIF_PRINTF(3, 4);
Command *createAckCommand(int32_t index, int32_t tag);
Command *createUIntCommand(int32_t index, int32_t tag, uint32_t value);

// A new command with a copy of `length` raw bytes (plus the hidden NUL).
Command *createRawCommand(int32_t index, int32_t tag, const void *data, uint32_t length);

// Allocates a payload buffer of `length` bytes plus the hidden NUL, for code
// that fills a command's payload itself. Free with deleteCommand (or free).
uint8_t *allocCommandPayload(uint32_t length);

// Frees the command and clears the caller's pointer; null does nothing.
void deleteCommand(Command **command);

// The argument text, or null when the command has no payload.
inline const char *commandText(const Command *command)
{
    return command && command->data && command->length ? reinterpret_cast<const char *>(command->data)
                                                       : nullptr;
}

// 1 for the true word, 0 for the false word (exact, case-sensitive). On any
// other payload returns 0 and stores the NAK answer in *error.
int parseArgBool(const Command *command, const char *trueWord, const char *falseWord, Command **error);

// The leading number of `text` read as strtoul / strtol of a 32-bit long
// read it, on every platform: white space, an optional sign, the digits in
// `base`. strtoul32: a minus negates modulo 2^32, a magnitude above
// 4294967295 reads as 4294967295. strtol32: beyond the int32_t range reads
// as INT32_MIN or INT32_MAX. Out of range sets *outOfRange; *end is `text`
// when no number was read.
uint32_t strtoul32(const char *text, const char **end, int base, bool *outOfRange);
int32_t strtol32(const char *text, const char **end, int base, bool *outOfRange);

// Number parsers with strtol/strtoul/strtoull semantics in base 0. The range
// is that of a 32-bit long on every platform. On bad input *error receives
// the NAK answer; *error is untouched on success.
int32_t parseArgINT32(const Command *command, const char *text, Command **error);
uint32_t parseArgUINT32(const Command *command, const char *text, Command **error);
uint64_t parseArgUINT64(const Command *command, const char *text, Command **error);
