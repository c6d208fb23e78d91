// Accessors of the installed command table.
#include "session/command_table.h"

#include <cstdio>
#include <cstring>

static const CommandTableRow *installed = nullptr;

void installCommandTable(const CommandTableRow *table) { installed = table; }

// Compared unsigned, so negative indices are invalid too.
static bool validIndex(int32_t index)
{
    return installed && uint32_t(index) < uint32_t(COMMAND_COUNT) && installed[index].index == index;
}

const char *getCmdName(int32_t index)
{
    if (!validIndex(index)) {
        LOGGER_LogMessage(6, 0,
                          "%s, %i: Command property table not in sync with command types for command index %i!\n",
                          __func__, __LINE__, index);
        return "";
    }
    return installed[index].name;
}

static void logOutOfSync(const char *function, int line, int32_t index)
{
    LOGGER_LogMessage(6, 0, "%s, %i: Command property table not in sync with command types for command %s (index %i)!\n",
                      function, line, getCmdName(index), index);
}

int32_t getCmdAuthLevel(int32_t index)
{
    if (!validIndex(index)) {
        logOutOfSync(__func__, __LINE__, index);
        return AUTH_INVALID;
    }
    return installed[index].authLevel;
}

CommandHandler getCmdHandler(int32_t index)
{
    if (!validIndex(index)) {
        logOutOfSync(__func__, __LINE__, index);
        return nullptr;
    }
    return installed[index].handler;
}

int32_t getCmdTransferType(int32_t index)
{
    if (!validIndex(index)) {
        logOutOfSync(__func__, __LINE__, index);
        return -1;
    }
    return installed[index].transferType;
}

const char *getCmdFilename(const Command *request)
{
    if (!request)
        return nullptr;
    if (!validIndex(request->index)) {
        logOutOfSync(__func__, __LINE__, request->index);
        return nullptr;
    }
    const CommandTableRow &row = installed[request->index];
    const char *suffix = commandText(request);
    if (row.transferType == TRANSFER_FROM_APPLIANCE && suffix && *suffix) {
        // A rotated copy such as Events.log.1. The suffix may not leave the
        // log's own name: a '/' would reach other files.
        if (request->length > 3 || strlen(suffix) > 3 || strchr(suffix, '/'))
            return nullptr;
        // One static buffer is enough: one session handles commands at a time.
        static char composed[COMMAND_FILE_SIZE + 8];
        snprintf(composed, sizeof composed, "%s.%s", row.fileName, suffix);
        // The client's bytes go on into the answer and into trace lines: a
        // line end or other control byte there would end a log line or forge
        // one. No rotated log has one in its name.
        blankControlBytes(composed);
        return composed;
    }
    return row.fileName;
}
