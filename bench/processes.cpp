#include "processes.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/daemon_harness.h"

pid_t spawn(const std::vector<std::string> &command,
            const std::vector<std::pair<std::string, std::string>> &env, const std::string &output)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A benchmark that dies leaves no daemon or peer behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto &[name, value] : env)
        setenv(name.c_str(), value.c_str(), 1);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

void reap(pid_t pid, unsigned ms)
{
    for (unsigned waited = 0; waited < ms; waited++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        usleep(1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

BenchPeers::~BenchPeers() { stopBenchPeers(this); }

bool startBenchPeers(BenchPeers *peers, const TempRoot &root, const PeerOptions &options)
{
    // Machine control shares no process with the others: their request
    // codes overlap.
    std::vector<std::vector<std::string>> groups = {{"SvDaemon", "LoggerD", "NetLinkD"}};
    if (options.withMcl)
        groups.insert(groups.begin(), {"Mcl"});
    for (const std::vector<std::string> &roles : groups) {
        std::vector<std::string> command = programCommand(binDir() + "/mif-bench-peer");
        command.push_back("--log-level");
        command.push_back(std::to_string(options.logLevel));
        if (options.scale && roles[0] == "Mcl")
            command.push_back("--scale");
        command.insert(command.end(), roles.begin(), roles.end());
        pid_t pid = spawn(command, {{"MIF_ROOT", root.path()}}, root.path() + "/peer-" + roles[0] + ".out");
        if (pid < 0)
            return false;
        peers->pids.push_back(pid);
        // Serving once the last role's reply socket is there.
        std::string ready = "/tmp/" + roles.back() + "Reply.ipc";
        int waited = 0;
        for (; waited < 5000 && !root.exists(ready); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waited >= 5000)
            return false;
    }
    return true;
}

void stopBenchPeers(BenchPeers *peers)
{
    for (pid_t pid : peers->pids) {
        kill(pid, SIGTERM);
        reap(pid, 5000);
    }
    peers->pids.clear();
}

bool startBenchDaemon(Daemon *daemon, BenchPeers *peers, const TempRoot &root, const PeerOptions &options)
{
    root.write("/mnt/rwfs/data/mif_sleep.txt", "0");
    return startBenchPeers(peers, root, options) && daemon->start(root);
}
