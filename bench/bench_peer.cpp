// mif-bench-peer: the appliance's other processes for the benchmarks, on
// the project's messaging library with the test peers' default answers
// (machine control answers every request at once with success).
//
//   MIF_ROOT=DIR mif-bench-peer [--log-level N] ROLE [ROLE...]
//
// ROLE is Mcl, SvDaemon, LoggerD or NetLinkD; the first is the process's
// identity, the others are served under their names too. As the logger it
// answers the daemon's level query with N (default 5, notices), which
// decides how much the daemon formats and pushes per command. Runs until
// SIGTERM or SIGINT, until the process that started it ends, or at most
// 15 minutes.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "support/mcl_peer.h"

namespace {

volatile sig_atomic_t terminated = 0;
void onSignal(int) { terminated = 1; }

bool roleOf(const char *name, PeerRole *role)
{
    static const struct {
        const char *name;
        PeerRole role;
    } roles[] = {{"Mcl", PeerRole::Mcl},
                 {"SvDaemon", PeerRole::Supervisor},
                 {"LoggerD", PeerRole::Logger},
                 {"NetLinkD", PeerRole::NetLink}};
    for (const auto &r : roles)
        if (strcmp(name, r.name) == 0) {
            *role = r.role;
            return true;
        }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    enum { MAX_LIFETIME_MS = 15 * 60 * 1000, TICK_MS = 50 };
    const char *root = getenv("MIF_ROOT");
    int first = 1;
    uint32_t logLevel = 5;
    if (argc > 2 && strcmp(argv[1], "--log-level") == 0) {
        logLevel = uint32_t(atoi(argv[2]));
        first = 3;
    }
    std::vector<PeerRole> roles;
    for (int i = first; i < argc; i++) {
        PeerRole role;
        if (!roleOf(argv[i], &role)) {
            fprintf(stderr, "%s: unknown role %s\n", argv[0], argv[i]);
            return 2;
        }
        roles.push_back(role);
    }
    if (!root || roles.empty()) {
        fprintf(stderr, "usage: MIF_ROOT=DIR %s [--log-level N] ROLE [ROLE...]\n", argv[0]);
        return 2;
    }
    pid_t parent = getppid();
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    IpcPeer peer;
    if (!peer.start(root, roles[0]))
        return 1;
    for (size_t i = 1; i < roles.size(); i++)
        if (!peer.addRole(roles[i]))
            return 1;
    peer.setLoggerThreshold(logLevel);
    for (int waited = 0; !terminated && getppid() == parent && waited < MAX_LIFETIME_MS; waited += TICK_MS) {
        usleep(TICK_MS * 1000);
        // What arrived is not looked at: dropping it keeps the peer small.
        peer.clear();
    }
    peer.stop();
    return 0;
}
