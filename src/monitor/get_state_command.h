// MCH_GET_STATE: hands the whole machine-state log to the client and
// empties it.
#pragma once

#include "frame/mif_utilfuncs.h"

// "NAK: State buffer empty" when the log holds nothing; otherwise an answer
// under index 43 and the request's tag whose payload is the log's text and
// its NUL, taken over from the log without a copy.
Command *cmdHandler_MCHGetState(Command *request, int socket);
