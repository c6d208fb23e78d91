#include "peer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "sim_console.h"

namespace {

std::atomic<int> gWakeFd{-1};
std::atomic<bool> gStop{false};
std::atomic<int> gStopStatus{0};

sigset_t loopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    return set;
}

// Control lines arrive in pieces; whole lines are handed on.
struct LineReader {
    std::string pending;
    bool open = true;
};

void handleLines(const PeerLoop &loop, LineReader &reader)
{
    char buffer[512];
    ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        // End of input (a terminal's Ctrl-D, /dev/null): nothing more to
        // read, but the process goes on serving.
        if (got == 0 || (errno != EINTR && errno != EAGAIN))
            reader.open = false;
        return;
    }
    reader.pending.append(buffer, size_t(got));
    size_t end;
    while ((end = reader.pending.find('\n')) != std::string::npos) {
        std::string line = reader.pending.substr(0, end);
        reader.pending.erase(0, end + 1);
        std::vector<std::string> words = splitControlLine(line);
        if (words.empty())
            continue;
        if (words[0] == "quit") {
            stopPeerLoop(0);
            continue;
        }
        if (!loop.onControl || !loop.onControl(words))
            simSay(loop.name, "unknown command: %s", line.c_str());
    }
}

}  // namespace

void peerProcessSetup()
{
    sigset_t set = loopSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (getenv("MIF_SIM_APPLIANCE_PID")) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The appliance may have ended before the request was made.
        if (getppid() != pid_t(atol(getenv("MIF_SIM_APPLIANCE_PID"))))
            raise(SIGTERM);
    }
}

std::vector<std::string> splitControlLine(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

int runPeerLoop(const PeerLoop &loop)
{
    sigset_t set = loopSignals();
    int signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    gWakeFd = wakeFd;
    LineReader reader;

    while (!gStop) {
        pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {reader.open ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = poll(fds, 3, loop.tickMs > 0 ? loop.tickMs : 1000);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGCHLD) {
                    if (loop.onChild)
                        loop.onChild();
                } else {
                    stopPeerLoop(0);
                }
            }
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            uint64_t count;
            ssize_t ignored = read(wakeFd, &count, sizeof count);
            (void)ignored;
        }
        if (ready > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            handleLines(loop, reader);
        if (!gStop && loop.onTick)
            loop.onTick();
    }

    gWakeFd = -1;
    close(wakeFd);
    close(signalFd);
    return gStopStatus;
}

bool peerOpenEndpoints(const char *name, int id, const std::vector<EndpointOpener> &openers)
{
    IpcStatus rc = IPC_Init(id, name);
    for (size_t i = 0; rc == IPC_OK && i < openers.size(); i++)
        rc = openers[i]();
    if (rc != IPC_OK) {
        simSay(name, "cannot open its endpoints (status %d)", rc);
        IPC_Deinit();
    }
    return rc == IPC_OK;
}

int servePeer(const PeerLoop &loop)
{
    int status = runPeerLoop(loop);
    IPC_Deinit();
    return status;
}

void stopPeerLoop(int status)
{
    gStopStatus = status;
    gStop = true;
    wakePeerLoop();
}

void wakePeerLoop()
{
    int fd = gWakeFd;
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(fd, &one, sizeof one);
        (void)ignored;
    }
}
