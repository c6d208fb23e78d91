#include "session/daemon_commands.h"

#include "session/command_list.h"
#include "commands/machine/machine_commands.h"
#include "commands/service/file_commands.h"
#include "commands/service/service_commands.h"
#include "commands/service/install_data.h"
#include "monitor/get_state_command.h"
#include "session/auth.h"

#define MIF_DAEMON_ROW(index, name, level, type, file, handler) {index, #name, level, handler, type, file},

const CommandTableRow kDaemonCommandTable[COMMAND_COUNT] = {MIF_COMMAND_LIST(MIF_DAEMON_ROW)};

static_assert(sizeof kDaemonCommandTable / sizeof kDaemonCommandTable[0] == COMMAND_COUNT,
              "every command index has a row");
