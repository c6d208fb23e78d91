// Carrying out one parsed command on a session.
#pragma once

#include <string>

#include "cli.h"
#include "connection.h"
#include "transfer.h"

struct RunSettings {
    bool quiet = false;  // no progress bars
    bool stopOnExit = false;  // the shell stops what its commands started when it ends
};

// Whether the invocation talks to the daemon (help does not).
bool invocationNeedsSession(const Invocation &invocation);

// A command ready to go: arguments mapped, local files checked and
// converted. Prepared before connecting, so that a mistake in the command
// never costs another client its session.
enum RequestKind { REQUEST_PLAIN, REQUEST_UPLOAD, REQUEST_DOWNLOAD, REQUEST_STATE, REQUEST_SERIAL, REQUEST_CHAP,
                   REQUEST_NO_ANSWER, REQUEST_WEIGHT, REQUEST_ALL_OFF };

struct PreparedRequest {
    RequestKind kind = REQUEST_PLAIN;
    int32_t index = 0;
    std::string payload;          // plain: the argument text; download: the suffix
    bool hasPayload = false;
    std::vector<UploadPiece> pieces;
    std::string output;           // download target, "-" for standard output
    std::string label;            // progress bar label
    int answerTimeoutMs = 0;      // upload: how long the answer may take (0: the session's)
    bool rawOutput = false, json = false, follow = false;
    int intervalMs = 1000;
};

// Prepares a command; EXIT_ANSWER_OK, or EXIT_USAGE after printing why not.
int prepareInvocation(const Invocation &invocation, PreparedRequest *request);
// The same, with the reason for EXIT_USAGE given in *message, not printed.
int prepareInvocation(const Invocation &invocation, PreparedRequest *request, std::string *message);

// Sends it and prints the answer; returns mifctl's exit code. Messages about
// failures start with "mifctl: ".
int runPrepared(Session &session, const PreparedRequest &request, const RunSettings &settings);

// Prints the help listing, or one command's help (EXIT_USAGE when unknown).
int runHelp(const Invocation &invocation);
