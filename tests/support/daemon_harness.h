// Running the real daemon in integration tests: a temporary appliance root,
// a free loopback port, the mifd process, and a client that speaks frames.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// A fresh directory under /tmp (short, for ipc socket paths), removed with
// everything in it when the object goes.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }
    // The host path of an appliance path under this root.
    std::string at(const std::string &appliancePath) const { return path_ + appliancePath; }
    // Writes a file (creating its directories).
    void write(const std::string &appliancePath, const std::string &content) const;
    std::string read(const std::string &appliancePath) const;
    bool exists(const std::string &appliancePath) const;

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that nobody listens on right now.
int freeLoopbackPort();

// Where the built programs are (MIF_BIN_DIR, set by the test registration).
std::string binDir();

// The argument vector that runs a built program: the program itself, or in
// a cross build the emulator followed by the program.
std::vector<std::string> programCommand(const std::string &program);

// Opens a simulated input device (a FIFO under the root) for writing once
// the daemon has opened it for reading; -1 when it does not within 3 s.
int openInputFeeder(const std::string &path);

// The mifd process.
class Daemon {
public:
    Daemon() = default;
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts build/bin/mifd with the arguments under the root, on a free
    // port, and waits (bounded) until it accepts connections. `env` adds or
    // overrides environment variables (MIF_PORT there chooses the port). Unless `defaultPeers` is cleared,
    // every peer of the daemon ("Mcl", "SvDaemon", "LoggerD", "NetLinkD")
    // that the test does not already play (start its IpcPeer first) is
    // played by a mif-test-peer process with default answers, which also
    // lets the supervisor handshake through; LoggerD's copy of the daemon's
    // log is then in <root>/run/loggerd.log.
    bool start(const TempRoot &root, const std::vector<std::string> &args = {"-nowait"},
               const std::map<std::string, std::string> &env = {});
    pid_t pid() const { return pid_; }
    int port() const { return port_; }

    // Waits for the process to end, at most `ms`; returns its exit status
    // (128 + signal when killed), or -1 when it is still running.
    int waitExit(unsigned ms);
    // Sends a signal and waits for the end.
    int signalAndWait(int signal, unsigned ms);
    // The console output (standard error) so far.
    std::string errorOutput() const;

    // Open descriptors and threads of the process, from /proc.
    int descriptorCount() const;
    int threadCount() const;

    bool defaultPeers = true;

private:
    void startDefaultPeers(const TempRoot &root);
    void stopDefaultPeers();

    std::vector<pid_t> peers_;
    pid_t pid_ = -1;
    int port_ = 0;
    int exitStatus_ = -1;
    std::string errorFile_;
};

// One frame as it travels.
struct Frame {
    int32_t index = 0;
    int32_t tag = 0;
    std::vector<uint8_t> payload;
    // The payload as text (up to its NUL).
    std::string text() const;
};

// A client connection that speaks frames, with bounded waits.
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // `receiveBuffer` (bytes) shrinks the socket's receive buffer, for a
    // client whose window stays small.
    bool connect(int port, int receiveBuffer = 0);
    void close();
    int fd() const { return fd_; }

    bool send(int32_t index, int32_t tag, const void *payload, uint32_t length);
    // A text argument, sent with its NUL; null sends no payload.
    bool sendText(int32_t index, int32_t tag, const char *text);
    bool sendRaw(const void *bytes, size_t length);
    // Reads one frame; false on time-out or close.
    bool receive(Frame *frame, unsigned timeoutMs = 5000);
    // Whether the daemon closed the connection (within `ms`).
    bool closedByPeer(unsigned ms);

    // Sends a text command and returns the answer's text ("" on failure).
    std::string call(int32_t index, const char *text, int32_t tag = 7);

    // Reads the session's challenge frame (index 1, tag 42) into `challenge`.
    bool readChallenge();
    // Answers the challenge (reading it first if that has not happened)
    // with the role's development key, keys/dev/<role>.pem. Returns the
    // answer text, "" when no answer came.
    std::string authenticate(const std::string &role);
    // The signature of the current challenge by a role's key.
    std::vector<uint8_t> sign(const std::string &role) const;

    std::vector<uint8_t> challenge;   // the challenge read, empty before

private:
    int fd_ = -1;
};
