#include "appliance.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "control.h"
#include "input_devices.h"
#include "machine_clock.h"
#include "media.h"
#include "otp.h"
#include "peer.h"
#include "peers.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sim_console.h"
#include "sim_root.h"

namespace {

const char kWho[] = "sim";

enum { LOOP_MS = 200, PEER_STOP_MS = 5000 };

struct PeerProcess {
    const char *name;
    const char *subcommand;
    ControlTarget target;
    pid_t pid = -1;
    int controlFd = -1;   // the write end of the peer's standard input
};

struct Appliance {
    std::vector<PeerProcess> peers;
    std::vector<std::string> daemonArgs;
    bool echoConsole = true;
    bool quit = false;
    int controlFifo = -1;
    int signalFd = -1;
    bool stdinOpen = true;
    std::string stdinPending, fifoPending;
    off_t consoleOffset = 0;
    std::string consolePending;
};

sigset_t applianceSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, otpLeaseSignal());
    sigaddset(&set, SIGIO);
    return set;
}

std::string describeExit(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The command that runs this program again. A cross build runs under
// user-mode emulation, where a process cannot exec a program of its own
// architecture by itself: MIF_SIM_EMULATOR then names the emulator.
std::vector<std::string> selfCommand()
{
    std::vector<std::string> command;
    if (const char *emulator = getenv("MIF_SIM_EMULATOR")) {
        for (const std::string &word : splitControlLine(emulator))
            command.push_back(word);
    }
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    command.push_back(length > 0 ? std::string(self, size_t(length)) : "/proc/self/exe");
    return command;
}

bool startPeer(Appliance &a, PeerProcess &peer)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args = selfCommand();
    args.push_back(peer.subcommand);
    if (std::string(peer.subcommand) == "supervisor" && !a.daemonArgs.empty()) {
        args.push_back("--daemon");
        args.insert(args.end(), a.daemonArgs.begin(), a.daemonArgs.end());
    }
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string parent = std::to_string(getpid());

    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[0], STDIN_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setenv("MIF_SIM_APPLIANCE_PID", parent.c_str(), 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[0]);
    if (pid < 0) {
        close(pipeFds[1]);
        return false;
    }
    peer.pid = pid;
    peer.controlFd = pipeFds[1];
    return true;
}

void forward(Appliance &a, ControlTarget target, const std::string &line)
{
    for (PeerProcess &peer : a.peers) {
        if (peer.target != target)
            continue;
        std::string text = line + "\n";
        if (peer.controlFd < 0 || write(peer.controlFd, text.data(), text.size()) != ssize_t(text.size()))
            simSay(kWho, "%s is not running", peer.name);
    }
}

void onLine(Appliance &a, const std::string &line)
{
    ApplianceActions actions;
    actions.forward = [&a](ControlTarget target, const std::string &text) { forward(a, target, text); };
    actions.quit = [&a] { a.quit = true; };
    if (!runControlLine(line, actions))
        simSay(kWho, "unknown command \"%s\" (help lists them)", line.c_str());
}

// Reads what is there; whole lines are carried out. False at the end.
bool readLines(Appliance &a, int fd, std::string &pending)
{
    char buffer[1024];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (got > 0)
        pending.append(buffer, size_t(got));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        onLine(a, line);
    }
    return true;
}

// Drops the terminal's control sequences (the daemon clears the screen).
std::string plainText(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\033') {
            if (i + 1 < text.size() && text[i + 1] == '[') {
                i += 2;
                while (i < text.size() && !(text[i] >= '@' && text[i] <= '~'))
                    i++;
            }
            continue;
        }
        if (text[i] != '\r')
            out += text[i];
    }
    return out;
}

// Shows the lines the daemon writes on the appliance's console.
void echoConsole(Appliance &a)
{
    if (!a.echoConsole)
        return;
    int fd = open(mifPath(CONSOLE_DEVICE).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        if (st.st_size < a.consoleOffset)
            a.consoleOffset = 0;
        char buffer[4096];
        ssize_t got;
        while ((got = pread(fd, buffer, sizeof buffer, a.consoleOffset)) > 0) {
            a.consoleOffset += got;
            a.consolePending += plainText(std::string(buffer, size_t(got)));
        }
        size_t end;
        while ((end = a.consolePending.find('\n')) != std::string::npos) {
            std::string line = a.consolePending.substr(0, end);
            a.consolePending.erase(0, end + 1);
            if (!line.empty())
                simSay("tty0", "%s", line.c_str());
        }
    }
    close(fd);
}

void reapPeers(Appliance &a)
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (PeerProcess &peer : a.peers) {
            if (peer.pid != pid)
                continue;
            peer.pid = -1;
            if (peer.controlFd >= 0)
                close(peer.controlFd);
            peer.controlFd = -1;
            if (std::string(peer.subcommand) == "supervisor" && WIFEXITED(status) &&
                WEXITSTATUS(status) == SUPERVISOR_EXIT_SHUTDOWN) {
                simSay(kWho, "the daemon shut the appliance down");
                a.quit = true;
            } else if (!a.quit) {
                simSay(kWho, "%s ended (%s)", peer.name, describeExit(status).c_str());
            }
        }
    }
}

// Ends the peers, the supervisor (and with it the daemon) first; every
// wait is bounded, and whoever does not end is killed and reaped.
void stopPeers(Appliance &a)
{
    for (int round = 0; round < 2; round++) {
        bool supervisorRound = round == 0;
        std::vector<PeerProcess *> stopping;
        for (PeerProcess &peer : a.peers) {
            if (peer.pid > 0 && (std::string(peer.subcommand) == "supervisor") == supervisorRound) {
                kill(peer.pid, SIGTERM);
                stopping.push_back(&peer);
            }
        }
        for (int64_t end = monotonicMs() + PEER_STOP_MS; monotonicMs() < end;) {
            bool running = false;
            for (PeerProcess *peer : stopping) {
                int status;
                if (peer->pid > 0 && waitpid(peer->pid, &status, WNOHANG) == peer->pid)
                    peer->pid = -1;
                running |= peer->pid > 0;
            }
            if (!running)
                break;
            sleepMs(20);
        }
        for (PeerProcess *peer : stopping) {
            if (peer->pid > 0) {
                simSay(kWho, "%s did not end: killed", peer->name);
                kill(peer->pid, SIGKILL);
                waitpid(peer->pid, nullptr, 0);
                peer->pid = -1;
            }
        }
    }
    for (PeerProcess &peer : a.peers) {
        if (peer.controlFd >= 0)
            close(peer.controlFd);
        peer.controlFd = -1;
    }
}

int usage()
{
    fputs(simUsage(), stderr);
    return 2;
}

}  // namespace

const char *simUsage()
{
    // In the form help2man reads for the manual page's synopsis.
    return "Usage: mif-sim [--root DIR] [-v] [--quiet-console] [--daemon PROGRAM [ARGS...]]\n"
           "  or:  mif-sim mcl|supervisor|logger|netlink|otp\n"
           "  or:  mif-sim ctl COMMAND...\n"
           "  or:  mif-sim sign-package PACKAGE [-k KEY.pem] [-o SIG]\n"
           "  or:  mif-sim fb-png [PNG] | dsp-wav [WAV]\n"
           "  or:  mif-sim test-pattern PNG\n"
           "The simulated appliance around the daemon: machine control, supervisor, logger\n"
           "and network daemon, the devices and the OTP stand-in (the first form), or one\n"
           "of its processes alone; ctl sends a control command to the running simulator;\n"
           "sign-package signs a data package (PACKAGE.sig by default); fb-png and dsp-wav\n"
           "write the display or the last sound as a file; test-pattern a test picture.\n"
           "Everything lives under MIF_ROOT (or --root DIR). `mif-sim help` lists the\n"
           "control commands.\n";
}

int runAppliance(int argc, char **argv)
{
    Appliance a;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--root" && i + 1 < argc) {
            std::string dir = argv[++i];
            mkdir(dir.c_str(), 0755);
            char absolute[PATH_MAX];
            if (!realpath(dir.c_str(), absolute)) {
                fprintf(stderr, "mif-sim: %s: %s\n", dir.c_str(), strerror(errno));
                return 1;
            }
            setenv("MIF_ROOT", absolute, 1);
        } else if (arg == "-v") {
            simSetVerbose(true);
            setenv("MIF_SIM_VERBOSE", "1", 1);
        } else if (arg == "--quiet-console") {
            a.echoConsole = false;
        } else if (arg == "--daemon" && i + 1 < argc) {
            a.daemonArgs.assign(argv + i + 1, argv + argc);
            break;
        } else {
            return usage();
        }
    }
    std::string error;
    if (simRequireRoot(&error).empty()) {
        fprintf(stderr, "mif-sim: %s\n", error.c_str());
        return 2;
    }

    sigset_t set = applianceSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!seedApplianceRoot(&error) || !machineClockStart()) {
        fprintf(stderr, "mif-sim: cannot lay out the appliance: %s\n", error.empty() ? "clock file" : error.c_str());
        return 1;
    }
    a.controlFifo = openControlFifo(&error);
    if (a.controlFifo < 0 || !otpDriverStart(&error)) {
        fprintf(stderr, "mif-sim: %s\n", error.c_str());
        if (a.controlFifo >= 0)
            close(a.controlFifo);
        return 1;
    }
    struct stat st;
    if (stat(mifPath(CONSOLE_DEVICE).c_str(), &st) == 0)
        a.consoleOffset = st.st_size;
    std::string pidFile = mifPath("/run/sim.pid");
    if (FILE *f = fopen(pidFile.c_str(), "w")) {
        fprintf(f, "%d\n", int(getpid()));
        fclose(f);
    }

    simSay(kWho, "appliance under %s; control: type commands here or write them to %s (help lists them)",
           mifRoot().c_str(), mifPath(CONTROL_FIFO).c_str());
    a.peers = {{"LoggerD", "logger", TARGET_LOGGER},
               {"Mcl", "mcl", TARGET_MCL},
               {"NetLinkD", "netlink", TARGET_NETLINK},
               {"SvDaemon", "supervisor", TARGET_APPLIANCE}};
    for (PeerProcess &peer : a.peers) {
        if (!startPeer(a, peer)) {
            simSay(kWho, "cannot start %s: %s", peer.name, strerror(errno));
            a.quit = true;
        }
    }

    sigset_t loopSet;
    sigemptyset(&loopSet);
    sigaddset(&loopSet, SIGTERM);
    sigaddset(&loopSet, SIGINT);
    sigaddset(&loopSet, SIGCHLD);
    a.signalFd = signalfd(-1, &loopSet, SFD_CLOEXEC);
    while (!a.quit) {
        pollfd fds[3] = {{a.signalFd, POLLIN, 0}, {a.controlFifo, POLLIN, 0}, {a.stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = poll(fds, 3, LOOP_MS);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            signalfd_siginfo info;
            if (read(a.signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGCHLD)
                    reapPeers(a);
                else
                    a.quit = true;
            }
        }
        if (ready > 0 && (fds[1].revents & POLLIN))
            readLines(a, a.controlFifo, a.fifoPending);
        // The end of standard input (a script's /dev/null, Ctrl-D) is not a
        // reason to stop: the appliance keeps serving until it is told to.
        if (ready > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            a.stdinOpen = readLines(a, STDIN_FILENO, a.stdinPending);
        echoConsole(a);
    }

    simSay(kWho, "ending the appliance");
    stopPeers(a);
    echoConsole(a);
    otpDriverStop();
    closeInputDevices();
    close(a.signalFd);
    close(a.controlFifo);
    unlink(pidFile.c_str());
    return 0;
}
