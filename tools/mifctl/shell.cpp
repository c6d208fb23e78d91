// Reading, completing and running shell lines.
#include "shell.h"

#include "all_off.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <editline/readline.h>
#include <iostream>
#include <unistd.h>

// --------------------------------------------------------------- completion

// The words the word being completed may become: command names first, then
// a command's own words (log names, on/off, ...).
static std::vector<std::string> completionCandidates(const std::string &lineBefore)
{
    size_t first = lineBefore.find_first_not_of(' ');
    if (first == std::string::npos || lineBefore.find(' ', first) == std::string::npos)
        return commandWords();
    const std::string command = lineBefore.substr(first, lineBefore.find(' ', first) - first);
    std::vector<std::string> words;
    if (command == "help")
        return commandWords();
    const AliasRow *row = findAlias(command);
    if (!row)
        return words;
    if (row->kind == ALIAS_GET_LOG || row->kind == ALIAS_SET_LOG)
        for (int i = 0; i < kLogRowCount; i++)
            words.push_back(kLogRows[i].name);
    for (int i = 0; i < row->wordCount; i++)
        words.push_back(row->words[i].word);
    return words;
}

static std::vector<std::string> pendingMatches;

static char *nextMatch(const char *text, int state)
{
    static size_t next;
    if (state == 0)
        next = 0;
    const size_t length = strlen(text);
    while (next < pendingMatches.size()) {
        const std::string &word = pendingMatches[next++];
        if (word.compare(0, length, text) == 0)
            return strdup(word.c_str());
    }
    return nullptr;
}

static char **completeLine(const char *text, int start, int)
{
    pendingMatches = completionCandidates(std::string(rl_line_buffer, size_t(start)));
    // Arguments without words of their own are file names: leave those to
    // the editor's own completion.
    if (pendingMatches.empty())
        return nullptr;
    rl_attempted_completion_over = 1;
    return rl_completion_matches(text, nextMatch);
}

// ------------------------------------------------------------------ input

struct LineReader {
    bool interactive = isatty(STDIN_FILENO) != 0;
    std::string prompt;
    const char *historyFile = getenv("MIFCTL_HISTORY");

    LineReader(const ShellSettings &settings)
    {
        prompt = (settings.key.role.empty() ? std::string("mifctl") : settings.key.role) + "@" +
                 settings.endpoint.host + ":" + std::to_string(settings.endpoint.port) + "> ";
        if (!interactive)
            return;
        rl_readline_name = "mifctl";
        rl_attempted_completion_function = completeLine;
        using_history();
        if (historyFile && *historyFile)
            read_history(historyFile);
    }
    ~LineReader()
    {
        if (interactive && historyFile && *historyFile)
            write_history(historyFile);
    }

    bool next(std::string *line)
    {
        if (!interactive)
            return static_cast<bool>(std::getline(std::cin, *line));
        char *text = readline(prompt.c_str());
        if (!text) {
            putchar('\n');
            return false;
        }
        *line = text;
        free(text);
        if (line->find_first_not_of(" \t") != std::string::npos)
            add_history(line->c_str());
        return true;
    }
};

// --------------------------------------------------------------------- loop

static bool reconnect(Session &session, const ShellSettings &settings)
{
    std::string error;
    if (!openSession(settings.endpoint, settings.key, settings.timeoutMs, &session, &error)) {
        fprintf(stderr, "mifctl: %s\n", error.c_str());
        return false;
    }
    fprintf(stderr, "mifctl: connected to %s:%d\n", settings.endpoint.host.c_str(), settings.endpoint.port);
    return true;
}

static bool connected(Session &session, bool interactive)
{
    if (session.socket.get() < 0) {
        fprintf(stderr, "mifctl: not connected%s\n", interactive ? "; type reconnect to connect again" : "");
        return false;
    }
    if (sessionClosedByPeer(session)) {
        session.socket.reset();
        fprintf(stderr, "mifctl: daemon displaced us: it closed the connection (a newer client connected, or the "
                        "daemon stopped)%s\n",
                interactive ? "; type reconnect to connect again" : "");
        return false;
    }
    return true;
}

int runShell(Session &session, const ShellSettings &settings)
{
    ParserPtr parser = makeParser(true);
    LineReader reader(settings);
    int worst = EXIT_ANSWER_OK;
    unsigned started = 0;   // what the commands switched on, for --stop-on-exit
    std::string line;
    while (reader.next(&line)) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        Invocation inv;
        std::string message;
        int code = EXIT_ANSWER_OK;
        ParseStatus status = parseShellLine(*parser, line, &inv, &message, &code);
        if (status == PARSE_FAILED)
            fprintf(stderr, "mifctl: %s\n", message.c_str());
        if (status == PARSE_OK) {
            if (inv.kind == INVOKE_EXIT)
                break;
            if (inv.kind == INVOKE_RECONNECT) {
                code = reconnect(session, settings) ? EXIT_ANSWER_OK : EXIT_CONNECTION;
            } else if (!invocationNeedsSession(inv)) {
                code = runHelp(inv);
            } else {
                PreparedRequest request;
                code = prepareInvocation(inv, &request);
                if (code == EXIT_ANSWER_OK) {
                    code = connected(session, reader.interactive) ? runPrepared(session, request, settings.run)
                                                                  : EXIT_CONNECTION;
                    started |= actuatorsStartedBy(request);
                }
                // A transfer that failed halfway leaves the stream out of
                // step: nothing more can be said on this connection.
                if (code == EXIT_CONNECTION && session.socket.get() >= 0) {
                    session.socket.reset();
                    if (reader.interactive)
                        fprintf(stderr, "mifctl: the session is closed; type reconnect to connect again\n");
                }
            }
        }
        if (code > worst)
            worst = code;
        if (!reader.interactive && code == EXIT_CONNECTION)
            break;
        if (settings.run.stopOnExit && interruptSeen())
            break;
    }
    if (settings.run.stopOnExit && session.socket.get() >= 0)
        worst = stopStarted(session, started, interruptSeen() ? "interrupted" : "leaving the shell", worst);
    return reader.interactive ? EXIT_ANSWER_OK : worst;
}
