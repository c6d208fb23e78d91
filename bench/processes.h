// The processes a benchmark starts: the daemon's peers and the daemon.
// Every child is reaped by its owner; every wait is bounded.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class Daemon;
class TempRoot;

// The level the benchmark's logger asks the daemon for. The figures with
// goals run at warnings (what the daemon logs when nobody is tracing it);
// some figures are measured at notice or trace level as well, to show what
// the logging costs.
enum { LOG_LEVEL_WARNING = 4, LOG_LEVEL_NOTICE = 5, LOG_LEVEL_TRACE = 6 };

// Starts a program with extra environment variables, its output into
// `output`. Returns the pid or -1.
pid_t spawn(const std::vector<std::string> &command,
            const std::vector<std::pair<std::string, std::string>> &env, const std::string &output);
// Reaps the child within `ms`, killing it when it has not ended by then.
void reap(pid_t pid, unsigned ms);

// How the peers play their parts. The logger answers the daemon's level
// query with `logLevel`. Without `withMcl` the benchmark plays machine
// control itself; with `scale`, machine control reports a scale reading
// once a second.
struct PeerOptions {
    unsigned logLevel = LOG_LEVEL_WARNING;
    bool withMcl = true;
    bool scale = false;
};

// Machine control in one process, the supervisor, the logger and the
// network daemon in another (mif-bench-peer), under the root.
struct BenchPeers {
    std::vector<pid_t> pids;
    ~BenchPeers();
};
bool startBenchPeers(BenchPeers *peers, const TempRoot &root, const PeerOptions &options = {});
void stopBenchPeers(BenchPeers *peers);

// The peers, then the daemon in -nowait mode with no start delay.
bool startBenchDaemon(Daemon *daemon, BenchPeers *peers, const TempRoot &root, const PeerOptions &options = {});
