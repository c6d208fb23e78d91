// Command objects and the argument parsers that turn bad input into the
// negative answer in one step.
#include "frame/mif_utilfuncs.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint8_t *allocCommandPayload(uint32_t length)
{
    // One hidden NUL past the payload keeps every payload readable as text.
    uint8_t *data = static_cast<uint8_t *>(malloc(size_t(length) + 1));
    if (data)
        data[length] = 0;
    return data;
}

static Command *newCommand(int32_t index, int32_t tag)
{
    Command *command = static_cast<Command *>(calloc(1, sizeof(Command)));
    if (command) {
        command->index = index;
        command->tag = tag;
    }
    return command;
}

Command *createStringCommand(int32_t index, int32_t tag, const char *format, ...)
{
    LOGGER_LogMessage(6, 0, "%s,%i: Function entered \n", "createStringCommand", __LINE__);
    Command *command = newCommand(index, tag);
    if (!command || !format) {
        LOGGER_LogMessage(6, 0, "%s,%i: Function left\n", "createStringCommand", __LINE__);
        return command;
    }
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int length = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    uint8_t *data = length >= 0 ? allocCommandPayload(uint32_t(length) + 1) : nullptr;
    if (!data) {
        va_end(again);
        free(command);
        return nullptr;
    }
    vsnprintf(reinterpret_cast<char *>(data), size_t(length) + 1, format, again);
    va_end(again);
    command->data = data;
    command->length = uint32_t(length) + 1;
    LOGGER_LogMessage(6, 0, "%s,%i: Function left\n", "createStringCommand", __LINE__);
    return command;
}

Command *createAckCommand(int32_t index, int32_t tag)
{
    return createStringCommand(index, tag, "ACK");
}

Command *createUIntCommand(int32_t index, int32_t tag, uint32_t value)
{
    return createStringCommand(index, tag, "%u", value);
}

Command *createRawCommand(int32_t index, int32_t tag, const void *data, uint32_t length)
{
    Command *command = newCommand(index, tag);
    if (!command || length == 0)
        return command;
    command->data = allocCommandPayload(length);
    if (!command->data) {
        free(command);
        return nullptr;
    }
    if (data)
        memcpy(command->data, data, length);
    else
        memset(command->data, 0, length);
    command->length = length;
    return command;
}

void deleteCommand(Command **command)
{
    LOGGER_LogMessage(6, 0, "%s,%i: Function entered \n", "deleteCommand", __LINE__);
    if (command && *command) {
        free((*command)->data);
        free(*command);
        *command = nullptr;
    }
    LOGGER_LogMessage(6, 0, "%s,%i: Function left \n", "deleteCommand", __LINE__);
}

// ---------------------------------------------------------------- parsers

static void setError(const Command *command, Command **error, const char *text)
{
    *error = createStringCommand(command->index, command->tag, "%s", text);
}

static const char *const kNoArguments = "NAK: No or insufficient arguments";
static const char *const kWrongFormat = "NAK: Wrong number format in argument";

int parseArgBool(const Command *command, const char *trueWord, const char *falseWord, Command **error)
{
    assert(error && command && "mif_utilfuncs: parseArgBool");
    if (!trueWord || !falseWord) {
        setError(command, error, kNoArguments);
        return 0;
    }
    const char *text = commandText(command);
    if (!text) {
        *error = createStringCommand(command->index, command->tag, "NAK: No arguments, use %s or %s",
                                     trueWord, falseWord);
        return 0;
    }
    if (strcmp(text, trueWord) == 0)
        return 1;
    if (strcmp(text, falseWord) == 0)
        return 0;
    *error = createStringCommand(command->index, command->tag, "NAK: Wrong arguments, use %s or %s",
                                 trueWord, falseWord);
    return 0;
}

int32_t parseArgINT32(const Command *command, const char *text, Command **error)
{
    assert(error && command && "mif_utilfuncs: parseArgINT32");
    if (!text) {
        setError(command, error, kNoArguments);
        return INT32_MAX;
    }
    // strtol of a 32-bit long: the range check is ours on 64-bit hosts.
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    bool bad = errno != 0 || *end != '\0';
    if (value > INT32_MAX) {
        value = INT32_MAX;
        bad = true;
    } else if (value < INT32_MIN) {
        value = INT32_MIN;
        bad = true;
    }
    if (bad)
        setError(command, error, kWrongFormat);
    return int32_t(value);
}

uint32_t strtoul32(const char *text, const char **end, int base, bool *outOfRange)
{
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        p++;
    }
    *outOfRange = false;
    if (isspace(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+') {
        *end = text;   // no number after the sign
        return 0;
    }
    char *stop = nullptr;
    errno = 0;
    unsigned long long magnitude = strtoull(p, &stop, base);
    if (stop == p) {
        *end = text;
        return 0;
    }
    *end = stop;
    if (errno == ERANGE || magnitude > UINT32_MAX) {
        *outOfRange = true;
        return UINT32_MAX;
    }
    uint32_t value = uint32_t(magnitude);
    return negative ? uint32_t(0u - value) : value;
}

int32_t strtol32(const char *text, const char **end, int base, bool *outOfRange)
{
    char *stop = nullptr;
    errno = 0;
    long long value = strtoll(text, &stop, base);
    *end = stop;
    *outOfRange = errno == ERANGE || value > INT32_MAX || value < INT32_MIN;
    if (*outOfRange)
        return value < 0 ? INT32_MIN : INT32_MAX;
    return int32_t(value);
}

uint32_t parseArgUINT32(const Command *command, const char *text, Command **error)
{
    assert(error && command && "mif_utilfuncs: parseArgUINT32");
    if (!text) {
        setError(command, error, kNoArguments);
        return UINT32_MAX;
    }
    const char *end = nullptr;
    bool outOfRange = false;
    uint32_t value = strtoul32(text, &end, 0, &outOfRange);
    if (outOfRange || *end != '\0')
        setError(command, error, kWrongFormat);
    return value;
}

uint64_t parseArgUINT64(const Command *command, const char *text, Command **error)
{
    assert(error && command && "mif_utilfuncs: parseArgUINT64");
    if (!text) {
        setError(command, error, kNoArguments);
        return UINT64_MAX;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0')
        setError(command, error, kWrongFormat);
    return value;
}
