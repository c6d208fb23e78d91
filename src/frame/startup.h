// Pieces of the daemon's start-up that are worth testing on their own.
#pragma once

#include <cstddef>

struct CommandLine {
    bool noWait;                // "-nowait": no handshake with the supervisor
    const char *listenAddress;  // null: all interfaces
};

// "-nowait" anywhere after the program name selects the mode without
// handshake; the listen address is the first argument in normal mode and
// the second with "-nowait".
CommandLine parseCommandLine(int argc, char **argv);

// The start delay in milliseconds from the content of mif_sleep.txt:
// `bytes` holds what a read of at most 10 bytes returned (`count` of them),
// or is null when the file could not be opened.
unsigned startDelayFromFile(const char *bytes, size_t count);

// Reads /mnt/rwfs/data/mif_sleep.txt and returns its start delay.
unsigned readStartDelay();
