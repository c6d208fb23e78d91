// mifctl: the Machine Interface service client.
#include <csignal>
#include <cstdio>

#include "all_off.h"
#include "cli.h"
#include "connection.h"
#include "run.h"
#include "shell.h"

int main(int argc, char **argv)
{
    // A closed pipe on standard output (mifctl state | head) or a closed
    // connection shows as a failed write, reported where it happens.
    signal(SIGPIPE, SIG_IGN);

    ParserPtr parser = makeParser(false);
    Invocation invocation;
    GlobalOptions globals;
    std::string message;
    int code = EXIT_ANSWER_OK;
    ParseStatus status = parseArguments(*parser, argc, argv, &invocation, &globals, &message, &code);
    if (status == PARSE_DONE)
        return code;
    if (status == PARSE_FAILED) {
        fprintf(stderr, "mifctl: %s\n", message.c_str());
        return code;
    }
    if (invocation.kind == INVOKE_NONE) {
        fprintf(stderr, "mifctl: no command given; `mifctl help` lists the commands, `mifctl --help` the options\n");
        return EXIT_USAGE;
    }
    if (invocation.kind == INVOKE_HELP)
        return runHelp(invocation);

    // Everything local is checked before connecting: a connection displaces
    // whichever client the daemon was serving.
    PreparedRequest request;
    if (invocation.kind != INVOKE_SHELL && prepareInvocation(invocation, &request) != EXIT_ANSWER_OK)
        return EXIT_USAGE;

    KeyChoice key;
    if (!resolveKey(globals.keyFile, globals.role, &key, &message)) {
        fprintf(stderr, "mifctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    const Endpoint endpoint{globals.host, globals.port};
    const int timeoutMs = int(globals.timeoutSeconds * 1000);
    Session session;
    if (!openSession(endpoint, key, timeoutMs, &session, &message)) {
        fprintf(stderr, "mifctl: %s\n", message.c_str());
        return EXIT_CONNECTION;
    }

    RunSettings run;
    run.quiet = globals.quiet;
    run.stopOnExit = globals.stopOnExit;
    if (globals.stopOnExit)
        watchInterrupt();
    if (invocation.kind == INVOKE_SHELL) {
        ShellSettings settings{endpoint, key, timeoutMs, run};
        return runShell(session, settings);
    }
    code = runPrepared(session, request, run);
    return globals.stopOnExit ? stopInterrupted(session, actuatorsStartedBy(request), code) : code;
}
