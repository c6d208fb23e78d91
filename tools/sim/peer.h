// The frame of every simulated process: its signals, its control lines and
// its main loop.
//
// A process reads control lines (commands for people and tests) on standard
// input: the appliance passes them on through a pipe, a person running one
// peer alone types them. It ends on SIGTERM or SIGINT, on "quit", or when a
// part of it asks to stop. Every wait of the loop is bounded by its tick.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ipc/ipc.h"

// Messaging ids of the simulated processes (the daemon is 5).
enum { SUPERVISOR_PROCESS_ID = 1, MCL_PROCESS_ID = 2, NETLINK_PROCESS_ID = 3, LOGGER_PROCESS_ID = 9 };

// Call first in a process's entry, before any thread exists: blocks the
// signals the loop takes (so threads started later inherit the mask),
// ignores SIGPIPE and, for a process the appliance started, asks the kernel
// for SIGTERM should the appliance die.
void peerProcessSetup();

// One control line split into words at blanks and commas.
std::vector<std::string> splitControlLine(const std::string &line);

struct PeerLoop {
    const char *name = "";
    int tickMs = 100;
    // A control line's words; false when the process does not know the
    // command (the loop then says so).
    std::function<bool(const std::vector<std::string> &words)> onControl;
    std::function<void()> onTick;       // every tickMs, and after every wake-up
    std::function<void()> onChild;      // SIGCHLD: a child process ended
};

// Runs until stopped; returns the status the process should exit with (0
// after SIGTERM, SIGINT or "quit").
int runPeerLoop(const PeerLoop &loop);

// One endpoint to open, for example [] { return IPC_OpenPublisher(); }.
using EndpointOpener = std::function<IpcStatus()>;

// Registers the process with the messaging layer under its id and name and
// opens its endpoints in order. On a failure it says so, releases the layer
// and returns false.
bool peerOpenEndpoints(const char *name, int id, const std::vector<EndpointOpener> &openers);

// runPeerLoop, then the messaging layer is released.
int servePeer(const PeerLoop &loop);

// From any thread: ends the loop with `status`.
void stopPeerLoop(int status);
// From any thread: runs onTick soon.
void wakePeerLoop();
