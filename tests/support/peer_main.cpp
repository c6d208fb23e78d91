// mif-test-peer: the appliance's other processes with their default
// answers, for integration tests that need them present but not observed.
//
//   MIF_ROOT=DIR mif-test-peer ROLE [ROLE...]
//
// ROLE is Mcl, SvDaemon, LoggerD or NetLinkD; the first is the process's
// identity, the others are served under their names too (machine control
// shares no process with the others: their request codes overlap). As the
// supervisor it answers every READY with start events until START arrives,
// so the daemon starts in its normal mode too; as the logger it appends
// every text entry to DIR/run/loggerd.log. Every request it receives is
// recorded as "<code> <payload bytes>" in DIR/run/<first ROLE>.requests.
// Runs until SIGTERM or SIGINT, or
// until the process that started it ends.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/mcl_peer.h"

namespace {

volatile sig_atomic_t terminated = 0;
void onSignal(int) { terminated = 1; }

bool roleOf(const char *name, PeerRole *role)
{
    static const struct { const char *name; PeerRole role; } roles[] = {
        {"Mcl", PeerRole::Mcl}, {"SvDaemon", PeerRole::Supervisor},
        {"LoggerD", PeerRole::Logger}, {"NetLinkD", PeerRole::NetLink}};
    for (const auto &r : roles)
        if (strcmp(name, r.name) == 0) {
            *role = r.role;
            return true;
        }
    return false;
}

enum : uint32_t { READY = 1, START = 2 };
enum : uint16_t { SUPERVISOR_TOPIC = 5 };
enum : uint32_t { START_EVENT = 16 };

size_t countPushes(const IpcPeer &peer, uint32_t code)
{
    size_t n = 0;
    for (const PeerPush &p : peer.pushes())
        n += p.code == code;
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    const char *root = getenv("MIF_ROOT");
    if (argc < 2 || !root) {
        fprintf(stderr, "usage: MIF_ROOT=DIR %s ROLE [ROLE...]\n", argv[0]);
        return 2;
    }
    PeerRole roles[4];
    int count = 0;
    for (int i = 1; i < argc && count < 4; i++)
        if (!roleOf(argv[i], &roles[count++])) {
            fprintf(stderr, "%s: unknown role %s\n", argv[0], argv[i]);
            return 2;
        }

    pid_t parent = getppid();
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);

    IpcPeer peer;
    if (!peer.start(root, roles[0]))
        return 1;
    bool supervisor = false, logger = false;
    for (int i = 0; i < count; i++) {
        if (i > 0 && !peer.addRole(roles[i]))
            return 1;
        supervisor |= roles[i] == PeerRole::Supervisor;
        logger |= roles[i] == PeerRole::Logger;
    }

    std::string dir = std::string(root) + "/run";
    mkdir(dir.c_str(), 0755);
    FILE *log = logger ? fopen((dir + "/loggerd.log").c_str(), "a") : nullptr;
    // Which requests arrived, so that a test can tell that the daemon asked
    // the right process.
    FILE *requestLog = fopen((dir + "/" + argv[1] + ".requests").c_str(), "a");
    size_t logged = 0, served = 0;
    while (!terminated && getppid() == parent) {
        if (supervisor && countPushes(peer, READY) > countPushes(peer, START))
            peer.publishUntil(SUPERVISOR_TOPIC, START_EVENT, {},
                              [&] { return terminated || countPushes(peer, READY) <= countPushes(peer, START); },
                              10000);
        if (log) {
            std::vector<PeerLogEntry> entries = peer.logEntries();
            for (; logged < entries.size(); logged++) {
                const PeerLogEntry &e = entries[logged];
                if (e.header.kind == 0)
                    fprintf(log, "<%u> %s%s", e.header.level, e.text().c_str(),
                            e.text().empty() || e.text().back() != '\n' ? "\n" : "");
            }
            fflush(log);
        }
        if (requestLog) {
            std::vector<PeerRequest> requests = peer.requests();
            for (; served < requests.size(); served++)
                fprintf(requestLog, "%u %zu\n", requests[served].code, requests[served].payload.size());
            fflush(requestLog);
        }
        peer.waitFor([] { return terminated != 0; }, 50);
    }
    if (log)
        fclose(log);
    // Nothing of the layer needs an orderly close here; the sockets go with
    // the process.
    _exit(0);
}
