// Shared by the simulator's tests: the simulator's processes run as
// children under a temporary root; the test plays the daemon's side over
// the messaging library, as process 5 "Mif".
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ipc/ipc.h"
#include "support/daemon_harness.h"

inline int64_t testNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Polls `done` every 10 ms for at most `ms`.
// Everything left to read from `f` (a file or a pipe).
inline std::string readAll(FILE *f)
{
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    return text;
}

inline bool eventually(const std::function<bool()> &done, int ms = 3000)
{
    for (int64_t end = testNowMs() + ms; testNowMs() < end;) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A built program as a shell command line (with the emulator in a cross
// build); "" gives the emulator alone.
inline std::string programLine(const std::string &program)
{
    std::string line;
    for (const std::string &word : programCommand(program))
        if (!word.empty())
            line += (line.empty() ? "" : " ") + word;
    return line;
}

// One process of the simulator (`mif-sim ARGS...`) with its control lines
// on a pipe and its output in a file under the root.
class SimChild {
public:
    SimChild() = default;
    ~SimChild() { stop(); }
    SimChild(const SimChild &) = delete;
    SimChild &operator=(const SimChild &) = delete;

    bool start(const TempRoot &root, const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        output_ = root.path() + "/sim-" + (args.empty() ? std::string("appliance") : args[0]) + ".log";
        std::vector<std::string> argvText = programCommand(binDir() + "/mif-sim");
        argvText.insert(argvText.end(), args.begin(), args.end());
        std::vector<std::string> envText = {"MIF_ROOT=" + root.path(), "PATH=" + binDir() + ":/usr/bin:/bin",
                                            "MIF_SIM_EMULATOR=" + programLine("")};
        envText.insert(envText.end(), env.begin(), env.end());
        std::vector<char *> argv, envp;
        for (std::string &a : argvText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string &e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[0], STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(fds[0]);
        close(out);
        control_ = fds[1];
        return pid_ > 0;
    }

    // One control line, as typed on the simulator's console.
    bool control(const std::string &line)
    {
        std::string text = line + "\n";
        return control_ >= 0 && write(control_, text.data(), text.size()) == ssize_t(text.size());
    }

    // The exit status once the process ended within `ms` (128 + signal when
    // killed), -1 if it still runs.
    int waitExit(int ms)
    {
        if (pid_ <= 0)
            return status_;
        for (int64_t end = testNowMs() + ms; testNowMs() < end;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // SIGTERM, a bounded wait, then SIGKILL; always reaped.
    int stop()
    {
        if (control_ >= 0)
            close(control_);
        control_ = -1;
        if (pid_ <= 0)
            return status_;
        kill(pid_, SIGTERM);
        if (waitExit(8000) < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            status_ = 128 + SIGKILL;
        }
        return status_;
    }

    pid_t pid() const { return pid_; }
    std::string output() const
    {
        FILE *f = fopen(output_.c_str(), "r");
        std::string text;
        if (f) {
            text = readAll(f);
            fclose(f);
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    int control_ = -1;
    int status_ = -1;
    std::string output_;
};

// A fixed-width field of a payload; 0 when the payload is too short.
template <typename T> T fieldAt(const std::vector<uint8_t> &payload, size_t offset)
{
    T value{};
    if (offset + sizeof value <= payload.size())
        memcpy(&value, payload.data() + offset, sizeof value);
    return value;
}

// Events the test's subscriptions received, copied out of the receiver
// threads.
struct SeenEvent {
    uint16_t topic = 0;
    uint32_t id = 0;
    std::vector<uint8_t> payload;

    template <typename T> T at(size_t offset) const { return fieldAt<T>(payload, offset); }
};

class EventLog {
public:
    void add(const void *msg, const void *payload, uint8_t len)
    {
        const EventHeader *hdr = static_cast<const EventHeader *>(msg);
        SeenEvent event{hdr->topic, hdr->eventId, {}};
        if (payload)
            event.payload.assign(static_cast<const uint8_t *>(payload), static_cast<const uint8_t *>(payload) + len);
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }
    // The first event with this id (and matching `match`, when given)
    // received within `ms`; false when none came.
    bool waitFor(uint32_t id, SeenEvent *out, int ms = 3000,
                 const std::function<bool(const SeenEvent &)> &match = nullptr)
    {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const SeenEvent &event : events_) {
                    if (event.id == id && (!match || match(event))) {
                        if (out)
                            *out = event;
                        return true;
                    }
                }
                return false;
            },
            ms);
    }
    std::vector<SeenEvent> all(uint32_t id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<SeenEvent> found;
        for (const SeenEvent &event : events_)
            if (event.id == id)
                found.push_back(event);
        return found;
    }

private:
    std::mutex mutex_;
    std::vector<SeenEvent> events_;
};

// A request and its answer.
struct Answer {
    IpcStatus rc = IPC_FAILURE;
    uint32_t status = 0xFFFFFFFF;
    std::vector<uint8_t> payload;

    template <typename T> T at(size_t offset) const { return fieldAt<T>(payload, offset); }
    bool ok() const { return rc == IPC_OK && status == 0; }
};

inline Answer ask(const char *peer, uint32_t code, const std::vector<uint8_t> &payload = {})
{
    Answer answer;
    RequestHeader hdr{};
    hdr.requestCode = code;
    ReplyHeader reply{};
    void *out = nullptr;
    int outLen = 0;
    answer.rc = IPC_Request(peer, &hdr, payload.empty() ? nullptr : payload.data(), int(payload.size()), &reply, &out,
                            &outLen);
    answer.status = reply.status;
    if (out) {
        answer.payload.assign(static_cast<uint8_t *>(out), static_cast<uint8_t *>(out) + outLen);
        free(out);
    }
    return answer;
}

// Little-endian payload bytes of fixed-width fields.
template <typename... T> std::vector<uint8_t> bytesOf(T... values)
{
    std::vector<uint8_t> bytes((sizeof(T) + ... + 0));
    size_t at = 0;
    ((memcpy(bytes.data() + at, &values, sizeof values), at += sizeof values), ...);
    return bytes;
}
