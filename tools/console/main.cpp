// mif-console: the service console in a browser.
//
//   mif-console [-H HOST] [-p PORT] [-k KEY | -r ROLE] [-t SECONDS]
//               [--listen ADDR] [--port N]
//
// Holds one authenticated session with the daemon (the same options and
// MIF_* variables as mifctl) and serves the console page on
// http://127.0.0.1:8080/ with a token made at launch.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <httplib.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "cli.h"
#include "console_session.h"
#include "event_hub.h"
#include "front.h"
#include "gate.h"
#include "mif_version.h"
#include "server.h"
#include "work_dir.h"

struct ConsoleOptions {
    GlobalOptions daemon;
    std::string listen = "127.0.0.1";
    int port = 8080;
    bool listenGiven = false;
};

static bool parseOptions(int argc, char **argv, ConsoleOptions *o, int *exitCode)
{
    CLI::App app{"mif-console: the service console in a browser"};
    GlobalOptions &g = o->daemon;
    CLI::Option *host = app.add_option("-H,--host", g.host, "the daemon's host (MIF_HOST, default 127.0.0.1)");
    // -p is the daemon's port as in mifctl; --port is the console's own.
    CLI::Option *port = app.add_option("-p,--daemon-port", g.port, "the daemon's port (MIF_PORT, default 16176)")
                            ->check(CLI::Range(1, 65535));
    CLI::Option *key = app.add_option("-k,--key", g.keyFile, "a role's private key, PEM (MIF_KEY)");
    CLI::Option *role = app.add_option("-r,--role", g.role, "a development key by role name (MIF_ROLE)");
    key->excludes(role);
    app.add_option("-t,--timeout", g.timeoutSeconds, "seconds to wait for the daemon (default 30)")
        ->check(CLI::Range(0.1, 86400.0));
    CLI::Option *listen = app.add_option("--listen", o->listen,
                                         "the console's address (default 127.0.0.1; others are reachable "
                                         "from the network)");
    app.add_option("--port", o->port, "the console's port (default 8080)")->check(CLI::Range(1, 65535));
    app.set_version_flag("-V,--version", "mif-console " MIF_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        *exitCode = app.exit(e);
        return false;
    }
    o->listenGiven = listen->count() > 0;
    std::string message;
    if (!applyEnvironmentDefaults(&g, host->count() > 0, port->count() > 0, key->count() + role->count() > 0,
                                  &message)) {
        fprintf(stderr, "mif-console: %s\n", message.c_str());
        *exitCode = EXIT_USAGE;
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    ConsoleOptions options;
    int exitCode = 0;
    if (!parseOptions(argc, argv, &options, &exitCode))
        return exitCode;

    KeyChoice key;
    std::string message;
    if (!resolveKey(options.daemon.keyFile, options.daemon.role, &key, &message)) {
        fprintf(stderr, "mif-console: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    GateConfig gate{options.listen, options.port, makeToken()};
    if (gate.token.empty()) {
        fprintf(stderr, "mif-console: no random numbers for the access token: %s\n", strerror(errno));
        return 1;
    }
    if (!isLoopbackAddress(options.listen))
        fprintf(stderr,
                "mif-console: WARNING: listening on %s: the console can be reached from the network; anyone "
                "with the URL below drives the appliance with the %s key, and the URL's token travels in clear "
                "text over HTTP, readable by anyone on the way\n",
                options.listen.c_str(), key.role.empty() ? "given" : key.role.c_str());

    // Files the page sends pass through a private directory on their way.
    const char *tmp = getenv("TMPDIR");
    const std::string tmpDir = tmp && *tmp ? tmp : "/tmp";
    const int cleaned = removeStaleWorkDirs(tmpDir);
    if (cleaned > 0)
        fprintf(stderr, "mif-console: removed %d work director%s left by consoles that did not end cleanly\n",
                cleaned, cleaned == 1 ? "y" : "ies");
    std::string workDir;
    const int workLock = makeWorkDir(tmpDir, &workDir, &message);
    if (workLock < 0) {
        fprintf(stderr, "mif-console: %s\n", message.c_str());
        return 1;
    }

    // SIGINT and SIGTERM are taken by sigwait below, on the main thread;
    // every thread started from here on inherits the blocked set.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ConsoleServer server;
    EventHub hub;
    ConsoleSettings settings{{options.daemon.host, options.daemon.port}, key,
                             int(options.daemon.timeoutSeconds * 1000), 500, workDir};
    ConsoleSession session(settings, hub);
    installRoutes(server, gate, session, hub, workDir);
    if (server.bindConsole(options.listen, options.port) < 0) {
        fprintf(stderr, "mif-console: cannot listen on %s:%d (in use? --port N takes another)\n",
                options.listen.c_str(), options.port);
        server.stopFront();
        std::filesystem::remove_all(workDir);
        return 1;
    }
    session.start();
    std::thread listener([&server] { server.listen_after_bind(); });
    printf("mif-console: the daemon at %s:%d, key %s%s\n", settings.endpoint.host.c_str(), settings.endpoint.port,
           key.path.c_str(), key.role.empty() ? "" : (" (role " + key.role + ")").c_str());
    printf("mif-console: open %s\n", consoleUrl(gate).c_str());
    fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    hub.close();
    server.stop();
    listener.join();
    server.stopFront();
    session.stop();
    std::filesystem::remove_all(workDir);
    close(workLock);
    return 0;
}
