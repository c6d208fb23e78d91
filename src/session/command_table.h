// The command table: for each command index its name, the authorisation
// level a client needs, its handler, how its payload travels, and its file.
// Indices are positions in the table and part of the wire protocol.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

// Serves one request on the client's socket; returns the answer (owned by
// the caller) or null, which ends the session and asks for shutdown.
typedef Command *(*CommandHandler)(Command *request, int socket);

enum AuthLevel { AUTH_NONE = 0, AUTH_SERVICE = 1, AUTH_FULL = 5, AUTH_INVALID = 10 };

enum TransferType { TRANSFER_PLAIN = 0, TRANSFER_TO_APPLIANCE = 1, TRANSFER_FROM_APPLIANCE = 2 };

enum { COMMAND_COUNT = 53, COMMAND_NAME_SIZE = 24, COMMAND_FILE_SIZE = 256 };

struct CommandTableRow {
    int32_t index;
    char name[COMMAND_NAME_SIZE];
    int32_t authLevel;
    CommandHandler handler;
    int32_t transferType;
    char fileName[COMMAND_FILE_SIZE];
};

// Installs the table (COMMAND_COUNT rows) the accessors read.
void installCommandTable(const CommandTableRow *table);

const char *getCmdName(int32_t index);            // "" for an invalid index
int32_t getCmdAuthLevel(int32_t index);           // AUTH_INVALID for an invalid index
CommandHandler getCmdHandler(int32_t index);      // null for an invalid index
int32_t getCmdTransferType(int32_t index);        // -1 for an invalid index

// The request's file: for a file answer (type 2) with a short payload text
// the rotated log "<file>.<suffix>" (suffixes of at most 3 characters and no
// '/'; control bytes blanked), composed in a static buffer the next call
// overwrites; otherwise the
// row's own file ("" for plain commands). Null for a null request, an
// invalid index, or a suffix that names no file.
const char *getCmdFilename(const Command *request);
