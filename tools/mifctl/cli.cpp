// Building the command line from the catalog, and parsing with it.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <sstream>

#include "connection.h"
#include "mif_version.h"

struct Parser {
    CLI::App app{"mifctl: the Machine Interface service client", "mifctl"};
    Invocation invocation;
    GlobalOptions globals;
    CLI::Option *keyOption = nullptr;
    CLI::Option *roleOption = nullptr;
    CLI::Option *portOption = nullptr;
    CLI::Option *hostOption = nullptr;
};

void ParserDeleter::operator()(Parser *parser) const { delete parser; }

// ------------------------------------------------------------ subcommands

static CLI::App *addSubcommand(Parser &p, const std::string &name, const std::string &description,
                               InvocationKind kind, const AliasRow *alias, const CommandRow *command)
{
    CLI::App *sub = p.app.add_subcommand(name, description);
    Invocation &inv = p.invocation;
    sub->callback([&inv, kind, alias, command] {
        inv.kind = kind;
        inv.alias = alias;
        inv.command = command;
    });
    return sub;
}

static void addArguments(CLI::App *sub, Invocation &inv, const char *name, bool required)
{
    CLI::Option *option = sub->add_option(name, inv.args, "arguments");
    if (required)
        option->required();
}

// One helper per kind of alias row: which arguments and options it takes.
static void addAliasSubcommand(Parser &p, const AliasRow &row)
{
    Invocation &inv = p.invocation;
    CLI::App *sub = addSubcommand(p, row.alias, row.summary, INVOKE_ALIAS, &row, nullptr);
    switch (row.kind) {
    case ALIAS_PLAIN:
    case ALIAS_TEXT:
    case ALIAS_CLOCK:
    case ALIAS_SPEED: addArguments(sub, inv, "args", false); break;
    case ALIAS_GET_LOG:
        addArguments(sub, inv, "name", true);
        sub->add_option("--rotated", inv.rotated, "fetch the rotated copy N (1-999)")->check(CLI::Range(1, 999));
        sub->add_option("-o,--output", inv.output, "write to FILE (- for standard output)");
        break;
    case ALIAS_SET_LOG:
        sub->add_option("name file", inv.args, "the log and the local file")->required()->expected(2);
        sub->add_option("--index", inv.logIndex, "replace the rotated copy N (0 is the log itself)")
            ->check(CLI::Range(0, 999));
        break;
    case ALIAS_IPADDR:
    case ALIAS_SOUND: addArguments(sub, inv, "arg", true); break;
    case ALIAS_IMAGE:
        addArguments(sub, inv, "file", true);
        sub->add_flag("--scale", inv.scale, "fit a picture of another size to the display");
        break;
    case ALIAS_PACKAGE:
        addArguments(sub, inv, "package", true);
        sub->add_option("--sig", inv.signature, "the package's 256-byte signature file (default PACKAGE.sig)");
        break;
    case ALIAS_STATE: {
        CLI::Option *raw = sub->add_flag("--raw", inv.rawOutput, "print the payload as received");
        sub->add_flag("--json", inv.json, "one JSON object per record")->excludes(raw);
        CLI::Option *follow = sub->add_flag("-f,--follow", inv.follow, "keep fetching until interrupted");
        sub->add_option("--interval", inv.intervalMs, "milliseconds between fetches (default 1000)")
            ->check(CLI::Range(10, 3600000))
            ->needs(follow);
        break;
    }
    case ALIAS_SERIAL:
    case ALIAS_WEIGHT: sub->add_flag("--json", inv.json, "one JSON object"); break;
    case ALIAS_ALL_OFF: break;
    }
}

static void addRawSubcommand(Parser &p, const CommandRow &row)
{
    Invocation &inv = p.invocation;
    CLI::App *sub = addSubcommand(p, row.name, "", INVOKE_RAW, nullptr, &row);
    sub->group("");  // `mifctl help` lists them; --help stays short
    if (row.index <= 1)
        return;  // CMD_ERROR and MCH_CHAP take nothing
    switch (row.transferType) {
    case 1: addArguments(sub, inv, "file", true); break;
    case 2:
        addArguments(sub, inv, "suffix", false);
        sub->add_option("-o,--output", inv.output, "write to FILE (- for standard output)");
        break;
    default: addArguments(sub, inv, "arg", false); break;
    }
}

ParserPtr makeParser(bool forShell)
{
    ParserPtr parser(new Parser);
    Parser &p = *parser;
    CLI::App &app = p.app;
    Invocation &inv = p.invocation;
    app.require_subcommand(0, 1);
    app.footer("`mifctl help` lists every command with its level and arguments; `mifctl help COMMAND` explains one.");

    if (!forShell) {
        GlobalOptions &g = p.globals;
        p.hostOption = app.add_option("-H,--host", g.host, "the daemon's host (MIF_HOST, default 127.0.0.1)");
        p.portOption = app.add_option("-p,--port", g.port, "the daemon's port (MIF_PORT, default 16176)")
                           ->check(CLI::Range(1, 65535));
        p.keyOption = app.add_option("-k,--key", g.keyFile, "a role's private key, PEM (MIF_KEY)");
        p.roleOption = app.add_option("-r,--role", g.role, "a development key by role name (MIF_ROLE)");
        p.keyOption->excludes(p.roleOption);
        app.add_option("-t,--timeout", g.timeoutSeconds, "seconds to wait for the daemon (default 30)")
            ->check(CLI::Range(0.1, 86400.0));
        app.add_flag("-q,--quiet", g.quiet, "no progress bars");
        app.add_flag("--stop-on-exit", g.stopOnExit,
                     "on Ctrl-C (and, in the shell, on leaving it) stop the motor and heater the commands started");
        app.set_version_flag("-V,--version", "mifctl " MIF_VERSION);
        app.fallthrough();  // global options may follow the command
    }

    for (int i = 0; i < kAliasRowCount; i++)
        addAliasSubcommand(p, kAliasRows[i]);
    for (const CommandRow &row : kCommandRows)
        addRawSubcommand(p, row);

    CLI::App *help = addSubcommand(p, "help", "list the commands, or explain one", INVOKE_HELP, nullptr, nullptr);
    addArguments(help, inv, "command", false);
    if (forShell) {
        addSubcommand(p, "exit", "leave the shell", INVOKE_EXIT, nullptr, nullptr);
        addSubcommand(p, "quit", "leave the shell", INVOKE_EXIT, nullptr, nullptr);
        addSubcommand(p, "reconnect", "connect and authenticate again", INVOKE_RECONNECT, nullptr, nullptr);
    } else {
        addSubcommand(p, "shell", "one session, commands typed interactively", INVOKE_SHELL, nullptr, nullptr);
    }
    return parser;
}

// ---------------------------------------------------------------- parsing

// A word where a command belongs that is none: the nearest command is the
// likelier help than CLI11's "not expected".
static bool unknownCommand(CLI::App &app, const CLI::Error &e, std::string *message)
{
    if (!dynamic_cast<const CLI::ExtrasError *>(&e) || !app.get_subcommands().empty())
        return false;
    for (const std::string &word : app.remaining()) {
        if (word.empty() || !isalpha(static_cast<unsigned char>(word[0])))
            continue;
        const std::string near = nearestCommand(word);
        *message = "unknown command \"" + word + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
                   " (`mifctl help` lists the commands)";
        return true;
    }
    return false;
}

static ParseStatus fail(CLI::App &app, const CLI::Error &e, std::string *message, int *exitCode)
{
    if (unknownCommand(app, e, message)) {
        *exitCode = EXIT_USAGE;
        return PARSE_FAILED;
    }
    std::ostringstream out, err;
    int code = app.exit(e, out, err);
    if (code == 0) {
        // --help and --version: their text is the answer.
        std::string text = out.str();
        if (!text.empty() && text.back() != '\n')
            text += '\n';  // the version line comes without one
        fputs(text.c_str(), stdout);
        *exitCode = EXIT_ANSWER_OK;
        return PARSE_DONE;
    }
    *message = err.str();
    while (!message->empty() && message->back() == '\n')
        message->pop_back();
    *exitCode = EXIT_USAGE;
    return PARSE_FAILED;
}

static bool portFromEnvironment(int *port, std::string *message)
{
    const char *text = getenv("MIF_PORT");
    if (!text || !*text)
        return true;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end || value < 1 || value > 65535) {
        *message = "MIF_PORT is not a port number: " + std::string(text);
        return false;
    }
    *port = int(value);
    return true;
}

bool applyEnvironmentDefaults(GlobalOptions *g, bool hostGiven, bool portGiven, bool keyGiven, std::string *message)
{
    if (!hostGiven && getenv("MIF_HOST") && *getenv("MIF_HOST"))
        g->host = getenv("MIF_HOST");
    if (!portGiven && !portFromEnvironment(&g->port, message))
        return false;
    // An explicit -k or -r wins over both variables; MIF_KEY over MIF_ROLE.
    if (!keyGiven) {
        if (getenv("MIF_KEY") && *getenv("MIF_KEY"))
            g->keyFile = getenv("MIF_KEY");
        else if (getenv("MIF_ROLE") && *getenv("MIF_ROLE"))
            g->role = getenv("MIF_ROLE");
    }
    return true;
}

ParseStatus parseArguments(Parser &parser, int argc, char **argv, Invocation *invocation, GlobalOptions *globals,
                           std::string *message, int *exitCode)
{
    parser.invocation = Invocation{};
    parser.globals = GlobalOptions{};
    try {
        parser.app.parse(argc, argv);
    } catch (const CLI::Error &e) {
        return fail(parser.app, e, message, exitCode);
    }

    GlobalOptions &g = parser.globals;
    if (!applyEnvironmentDefaults(&g, parser.hostOption->count() > 0, parser.portOption->count() > 0,
                                  parser.keyOption->count() + parser.roleOption->count() > 0, message)) {
        *exitCode = EXIT_USAGE;
        return PARSE_FAILED;
    }
    *invocation = parser.invocation;
    *globals = g;
    return PARSE_OK;
}

ParseStatus parseShellLine(Parser &parser, const std::string &line, Invocation *invocation, std::string *message,
                           int *exitCode)
{
    parser.invocation = Invocation{};
    try {
        parser.app.parse(line, false);
    } catch (const CLI::Error &e) {
        return fail(parser.app, e, message, exitCode);
    }
    *invocation = parser.invocation;
    return PARSE_OK;
}
