// Handlers of the commands that act on the appliance through machine
// control, and on the daemon itself. Each answers under the request's index
// and tag; none keeps the request.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

// Motor: speed (as the GUI shows it, or four raw numbers), mode, direction
// and timer.
Command *cmdHandler_MCHSetSpeed(Command *request, int socket);
Command *cmdHandler_MCHSetMotMode(Command *request, int socket);
Command *cmdHandler_MCHSetMotRotDir(Command *request, int socket);
Command *cmdHandler_MCHSetTime(Command *request, int socket);

// Lid, relays, heating, light and transport.
Command *cmdHandler_MCHLockLid(Command *request, int socket);
Command *cmdHandler_MCHSwitchRelays(Command *request, int socket);
Command *cmdHandler_MCHSetHeating(Command *request, int socket);
Command *cmdHandler_MCHHeatCtrl(Command *request, int socket);
Command *cmdHandler_MCHSetTemp(Command *request, int socket);
Command *cmdHandler_MCHAmbiLight(Command *request, int socket);
Command *cmdHandler_MCHSetTransp(Command *request, int socket);
Command *cmdHandler_MCHMillisTransp(Command *request, int socket);

// The appliance as a whole: permanent errors, power, reset, the GUI's error
// pop-up, test mode and the network daemon's GUI-less mode.
Command *cmdHandler_MCHFaOk(Command *request, int socket);
Command *cmdHandler_MCHPwrDown(Command *request, int socket);
Command *cmdHandler_MCHResetMC(Command *request, int socket);
Command *cmdHandler_MCHRecovrErrStat(Command *request, int socket);
Command *cmdHandler_MCHMctestCmd(Command *request, int socket);
Command *cmdHandler_MCHNoGuiSwitch(Command *request, int socket);

// The system clock.
Command *cmdHandler_MCHSetTimeAndDate(Command *request, int socket);

Command *cmdHandler_MCHShutdown(Command *request, int socket);

// The clock MCH_SET_TRANSP measures its wait for the bowl report on: the
// monotonic clock and real sleeps, unless a test substitutes a clock that
// advances with each sleep (null restores the real one).
struct PollClock {
    int64_t (*nowMs)();
    void (*sleepMs)(unsigned ms);
};
void setBowlPollClock(const PollClock *clock);
