// The TCP command server: the connection monitor accepts clients, one
// session thread per client sends the challenge and then reads, checks and
// dispatches commands, and the client state monitor notices when the daemon
// may end. At most one session is active: a new connection displaces the
// running one.
#pragma once

#include "frame/mif_utilfuncs.h"

enum { CLIENT_SLOT_COUNT = 2 };

// The most a client that has not authenticated may have drained of a
// refused upload: it is answered with the NAK and stays in step. Every file
// a tool would send that early (an address file, a settings file) is far
// smaller; a larger announcement from a client that proved nothing ends
// its session without an answer instead, so that nobody can keep the
// daemon reading up to 4 GiB.
enum { UNAUTHENTICATED_DRAIN_LIMIT = 64 * 1024 };

// Thread bodies.
void connectionMonitor(const char *listenAddress);
void clientStateMonitor();

// The main thread's view of the two server threads. The start calls return
// 0 or the error number of a failed thread creation.
int startConnectionMonitor(const char *listenAddress);
int startClientStateMonitor();
int joinClientStateMonitor();
void joinConnectionMonitor();

// The listening socket created by the connection monitor (-1 before), closed
// by the main thread at shutdown.
int listeningSocket();
void closeListeningSocket();

void startClient(int slot, int socket);
void stopClient(int slot);
bool isClientActive(int slot);

// Session thread body.
void MainHandler(int slot);

// Between the slots and their session threads.
int sessionSocket(int slot);
bool sessionSlotStopRequested(int slot);
void markSessionStarted();
void markSessionEnded(int slot);

// How a dispatched request ends.
enum DispatchResult {
    DISPATCH_ANSWER,        // send the answer
    DISPATCH_NO_ANSWER,     // the handler gave none: end the session, shut down
    DISPATCH_END_SESSION,   // a level-0 command other than MCH_CHAP, or a handler out of memory: end this session only
};

// Checks the request against the client's level and runs its handler.
Command *handleCommand(Command *request, int socket, DispatchResult *result);
