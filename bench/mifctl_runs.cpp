#include "mifctl_runs.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cli.h"
#include "connection.h"
#include "run.h"
#include "stats.h"

namespace {

// Sends standard output to /dev/null for its lifetime: mifctl prints its
// answers ("ACK") there, and the benchmark prints its table there.
class QuietStdout {
public:
    QuietStdout()
    {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~QuietStdout()
    {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved_ = -1;
};

}  // namespace

int runMifctl(int port, const std::vector<std::string> &args, int64_t *ns)
{
    std::vector<std::string> words = {"mifctl", "-q", "-p", std::to_string(port), "-r", "testlab"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    QuietStdout quiet;
    const int64_t start = nowNs();
    ParserPtr parser = makeParser(false);
    Invocation invocation;
    GlobalOptions globals;
    std::string message;
    int code = EXIT_ANSWER_OK;
    if (parseArguments(*parser, int(words.size()), argv.data(), &invocation, &globals, &message, &code) != PARSE_OK)
        return code == EXIT_ANSWER_OK ? EXIT_USAGE : code;
    PreparedRequest request;
    if (prepareInvocation(invocation, &request) != EXIT_ANSWER_OK)
        return EXIT_USAGE;
    KeyChoice key;
    if (!resolveKey(globals.keyFile, globals.role, &key, &message))
        return EXIT_USAGE;
    Session session;
    if (!openSession(Endpoint{globals.host, globals.port}, key, int(globals.timeoutSeconds * 1000), &session,
                     &message)) {
        fprintf(stderr, "bench: mifctl: %s\n", message.c_str());
        return EXIT_CONNECTION;
    }
    RunSettings settings;
    settings.quiet = true;
    code = runPrepared(session, request, settings);
    *ns = nowNs() - start;
    return code;
}
