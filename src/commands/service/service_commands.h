// Handlers of the scale, identity and small service commands, as the
// command table calls them: request and client socket in, answer out (owned
// by the caller), under the request's index and tag.
#pragma once

#include "frame/mif_utilfuncs.h"

// Scale and calibration.
Command *cmdHandler_MCHGetWeight(Command *request, int socket);
Command *cmdHandler_MCHGetTara(Command *request, int socket);
Command *cmdHandler_MCHSetTara(Command *request, int socket);
Command *cmdHandler_MCHGetCalData(Command *request, int socket);
Command *cmdHandler_MCHSetCalData(Command *request, int socket);

// Identity: serial numbers and versions.
Command *cmdHandler_MCHGetSerial(Command *request, int socket);
Command *cmdHandler_MCHSetSerial(Command *request, int socket);

// Small service commands.
Command *cmdHandler_CmdError(Command *request, int socket);
Command *cmdHandler_SVCSetRepaStart(Command *request, int socket);
Command *cmdHandler_SVCSetRepaEnd(Command *request, int socket);
Command *cmdHandler_MCHEnableBB(Command *request, int socket);
Command *cmdHandler_MCHSetMcParams(Command *request, int socket);
Command *cmdHandler_MCHPrintTxt(Command *request, int socket);
Command *cmdHandler_MCHTestEvent(Command *request, int socket);
Command *cmdHandler_MCHGetSysTime(Command *request, int socket);
