// Pieces of the daemon's start-up that are worth testing on their own.
#pragma once

#include <cstddef>

#include <cstdio>

// What the command line asks for: serve, or only answer and exit.
enum CommandLineAction {
    COMMAND_LINE_SERVE,
    COMMAND_LINE_HELP,      // "--help" or "-h"
    COMMAND_LINE_VERSION,   // "--version"
    COMMAND_LINE_UNKNOWN,   // another option: no daemon starts
};

struct CommandLine {
    bool noWait;                // "-nowait": no handshake with the supervisor
    const char *listenAddress;  // null: all interfaces
    CommandLineAction action;
    const char *unknownOption;  // COMMAND_LINE_UNKNOWN: the option given
};

// "-nowait" anywhere after the program name selects the mode without
// handshake; the listen address is the first argument in normal mode and
// the second with "-nowait". "--help", "--version" and any other word
// beginning with '-' are no address (no host name starts with one): they
// are answered without starting the daemon.
CommandLine parseCommandLine(int argc, char **argv);

// Answers a command line that does not start the daemon: the help or the
// version on `out`, an unknown option on `err`. Returns the exit status.
// `developmentKeys` marks the version of a build that accepts the
// development role keys.
int answerCommandLine(const CommandLine &line, bool developmentKeys, FILE *out, FILE *err);

// The start delay in milliseconds from the content of mif_sleep.txt:
// `bytes` holds what a read of at most 10 bytes returned (`count` of them),
// or is null when the file could not be opened.
unsigned startDelayFromFile(const char *bytes, size_t count);

// Reads /mnt/rwfs/data/mif_sleep.txt and returns its start delay.
unsigned readStartDelay();
