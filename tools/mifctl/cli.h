// mifctl's command line: global options, and one subcommand per alias and
// per raw command name, built from the catalog. The same parser reads the
// lines typed into the shell (without the global options). Parsing never
// throws: CLI11's exceptions end inside this module.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "catalog.h"

enum InvocationKind {
    INVOKE_NONE,       // no command given
    INVOKE_ALIAS,      // a friendly command
    INVOKE_RAW,        // a daemon command by its name
    INVOKE_HELP,
    INVOKE_SHELL,
    INVOKE_EXIT,       // shell only
    INVOKE_RECONNECT,  // shell only
};

// What one command line asks for.
struct Invocation {
    InvocationKind kind = INVOKE_NONE;
    const AliasRow *alias = nullptr;
    const CommandRow *command = nullptr;
    std::vector<std::string> args;
    std::string output;          // -o FILE
    int rotated = 0;             // get-log --rotated N
    int logIndex = -1;           // set-log --index N
    std::string signature;       // install-data --sig FILE
    bool scale = false;          // display-img --scale
    bool rawOutput = false;      // state --raw
    bool json = false;           // state, serial --json
    bool follow = false;         // state --follow
    int intervalMs = 1000;       // state --interval
};

struct GlobalOptions {
    std::string host = "127.0.0.1";
    int port = 16176;
    std::string keyFile;
    std::string role;
    double timeoutSeconds = 30;
    bool quiet = false;
    bool stopOnExit = false;   // Ctrl-C stops the motor and heater the commands started
};

struct Parser;

struct ParserDeleter {
    void operator()(Parser *parser) const;
};
using ParserPtr = std::unique_ptr<Parser, ParserDeleter>;

// `forShell` leaves out the global options and `shell`, and adds `exit`,
// `quit` and `reconnect`.
ParserPtr makeParser(bool forShell);

enum ParseStatus {
    PARSE_OK,     // *invocation says what to do
    PARSE_DONE,   // --help or --version was answered; exit with *exitCode
    PARSE_FAILED, // *message says why; exit with *exitCode (EXIT_USAGE)
};

// Parses the program's arguments. Defaults for the global options come
// from MIF_HOST, MIF_PORT, MIF_KEY and MIF_ROLE.
ParseStatus parseArguments(Parser &parser, int argc, char **argv, Invocation *invocation, GlobalOptions *globals,
                           std::string *message, int *exitCode);

// Fills what the command line left out from MIF_HOST, MIF_PORT, MIF_KEY and
// MIF_ROLE; false with a message when MIF_PORT is no port. Shared with the
// console, which takes the same options.
bool applyEnvironmentDefaults(GlobalOptions *globals, bool hostGiven, bool portGiven, bool keyGiven,
                              std::string *message);

// Parses one shell line, split like a shell would (quotes group words).
ParseStatus parseShellLine(Parser &parser, const std::string &line, Invocation *invocation, std::string *message,
                           int *exitCode);
