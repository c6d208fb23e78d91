// The daemon's command table: the shared rows with the daemon's handlers.
#pragma once

#include "session/command_table.h"

extern const CommandTableRow kDaemonCommandTable[COMMAND_COUNT];
