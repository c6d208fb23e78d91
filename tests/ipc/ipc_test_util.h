// Shared by the messaging tests: a private MIF_ROOT for the socket files, a
// layer initialised as process 5 "Mif", bounded waits and thread counts.
#pragma once

#include "ipc/ipc.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Threads of this process (the test's own and nanomsg's).
inline int threadCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The thread count to compare against later. The thread sanitizer's
// runtime starts a helper thread of its own with the first thread the
// process creates, and keeps it; one thread started and joined first makes
// sure that helper is already counted. Only there: under user-mode
// emulation a joined thread may still show for a moment.
inline int baselineThreadCount()
{
#if defined(__SANITIZE_THREAD__)
    std::thread([] {}).join();
#endif
    return threadCount();
}

inline int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Polls `done` every 10 ms for at most `ms` (3 s by default); whether it
// became true.
inline bool waitUntil(const std::function<bool()> &done, int ms = 3000)
{
    for (int64_t end = nowMs() + ms; nowMs() < end;) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Whether the thread count settles at `n` within `ms`. A joined thread is
// gone at once on Linux; under user-mode emulation its host thread may show
// for a moment longer. A thread that was never joined never leaves.
inline bool threadsSettleAt(int n, int ms = 2000)
{
    return waitUntil([n] { return threadCount() == n; }, ms);
}

// Messages that a handler saw, copied out of the receiver thread.
struct Seen {
    std::vector<char> msg;
    bool payloadNull;
    int len;
};

// The header at the front of a seen message.
template <class Header> Header headerOf(const Seen &s)
{
    Header h{};
    std::memcpy(&h, s.msg.data(), std::min(sizeof h, s.msg.size()));
    return h;
}

class Recorder {
public:
    void add(const void *msg, int msgSize, const void *payload, int len)
    {
        std::lock_guard<std::mutex> l(m_);
        const char *p = static_cast<const char *>(msg);
        seen_.push_back(Seen{std::vector<char>(p, p + msgSize), payload == nullptr, len});
    }
    size_t count()
    {
        std::lock_guard<std::mutex> l(m_);
        return seen_.size();
    }
    Seen at(size_t i)
    {
        std::lock_guard<std::mutex> l(m_);
        return seen_.at(i);
    }
    void clear()
    {
        std::lock_guard<std::mutex> l(m_);
        seen_.clear();
    }

private:
    std::mutex m_;
    std::vector<Seen> seen_;
};

// A gate a handler can wait at (boundedly) until the test opens it.
class Gate {
public:
    void open()
    {
        std::lock_guard<std::mutex> l(m_);
        open_ = true;
        cv_.notify_all();
    }
    void close()
    {
        std::lock_guard<std::mutex> l(m_);
        open_ = false;
    }
    bool wait(int ms)
    {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// A temporary appliance root with its tmp/ directory, where the ipc socket
// files go, and the layer initialised as 5 "Mif". Everything is released
// again afterwards, the layer included.
class IpcFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        threadsAtStart_ = baselineThreadCount();
        char tmpl[] = "/tmp/mifXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ASSERT_EQ(mkdir((root_ + "/tmp").c_str(), 0700), 0);
        setenv("MIF_ROOT", root_.c_str(), 1);
        ASSERT_EQ(IPC_Init(5, "Mif"), IPC_OK);
    }

    void TearDown() override
    {
        IpcStatus rc = IPC_Deinit();
        EXPECT_TRUE(rc == IPC_OK || rc == IPC_NOT_INITIALISED);
        unsetenv("MIF_ROOT");
        std::string cmd = "rm -rf '" + root_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string root_;
    int threadsAtStart_ = 0;
};

// Runs `child` in a forked process that exits with its result. Fork only
// while this process has no other thread: before the test's first socket.
inline pid_t startChild(const std::function<int()> &child)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(child());
    return pid;
}

// The child's exit status; -1 when it did not exit normally within `ms`
// (it is then killed).
inline int waitChild(pid_t pid, int ms = 10000)
{
    int status = 0;
    for (int64_t end = nowMs() + ms; nowMs() < end;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}
