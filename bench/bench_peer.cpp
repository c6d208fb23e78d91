// mif-bench-peer: the appliance's other processes for the benchmarks, on
// the project's messaging library with the test peers' default answers
// (machine control answers every request at once with success).
//
//   MIF_ROOT=DIR mif-bench-peer [--log-level N] [--scale] ROLE [ROLE...]
//
// ROLE is Mcl, SvDaemon, LoggerD or NetLinkD; the first is the process's
// identity, the others are served under their names too. As the logger it
// answers the daemon's level query with N (default 5, notices), which
// decides how much the daemon formats and pushes per command. With
// --scale, machine control reports a scale reading (weight and AD value)
// once a second, as the appliance's does, so that the daemon has one to
// answer MCH_GET_WEIGHT with. Runs until SIGTERM or SIGINT, until the
// process that started it ends, or at most 15 minutes.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "requests/request_codes.h"
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

// 500 g on the scale: the weight event carries grams, the AD value event
// the converter's count at bytes 8-11 and "stable" at 12.
void reportScaleReading(IpcPeer *peer)
{
    enum { GRAMS = 500, AD_COUNT = 41200, AD_EVENT_SIZE = 14 };
    peer->publish(MCL_TOPIC_0, MCL_EV_SCALE_WEIGHT, bytesOf(int32_t(GRAMS)));
    Bytes ad(AD_EVENT_SIZE, 0);
    Bytes count = bytesOf(int32_t(AD_COUNT));
    std::copy(count.begin(), count.end(), ad.begin() + 8);
    ad[12] = 1;
    peer->publish(MCL_TOPIC_1, MCL_EV_SCALE_AD_VALUE, ad);
}

}  // namespace

int main(int argc, char **argv)
{
    enum { MAX_LIFETIME_MS = 15 * 60 * 1000, TICK_MS = 50, SCALE_PERIOD_MS = 1000 };
    const char *root = getenv("MIF_ROOT");
    int first = 1;
    uint32_t logLevel = 5;
    bool scale = false;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        if (strcmp(argv[first], "--log-level") == 0 && first + 1 < argc)
            logLevel = uint32_t(atoi(argv[++first]));
        else if (strcmp(argv[first], "--scale") == 0)
            scale = true;
        else
            break;   // reported as an unknown role below
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
        fprintf(stderr, "usage: MIF_ROOT=DIR %s [--log-level N] [--scale] ROLE [ROLE...]\n", argv[0]);
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
    // Only machine control has a scale.
    scale = scale && roles[0] == PeerRole::Mcl;
    for (int waited = 0; !terminated && getppid() == parent && waited < MAX_LIFETIME_MS; waited += TICK_MS) {
        if (scale && waited % SCALE_PERIOD_MS == 0)
            reportScaleReading(&peer);
        usleep(TICK_MS * 1000);
        // What arrived is not looked at: dropping it keeps the peer small.
        peer.clear();
    }
    peer.stop();
    return 0;
}
