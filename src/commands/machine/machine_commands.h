// Handlers of the commands that act on the appliance through machine
// control, and on the daemon itself.
#pragma once

#include "frame/mif_utilfuncs.h"

Command *cmdHandler_MCHShutdown(Command *request, int socket);
