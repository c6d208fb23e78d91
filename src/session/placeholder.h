// The handler of commands this build does not serve yet.
#pragma once

#include "frame/mif_utilfuncs.h"

// Answers "NAK: Command not implemented" under the request's index and tag.
Command *cmdHandler_NotImplemented(Command *request, int socket);
