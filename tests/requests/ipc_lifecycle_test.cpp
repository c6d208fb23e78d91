// The daemon's messaging set-up and tear-down: Init_Ipc's subscriptions and
// logger client, and Deinit_Ipc letting the logger drain before the layer
// closes. The logger client starts once per process, so each case runs the
// daemon's side in a child process.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "frame/log.h"
#include "frame/log_ring.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

namespace {

// Forks before this process has any thread; the child runs `body` and
// reports failed expectations through its exit status.
pid_t forkChild(const std::function<void()> &body)
{
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    return pid;
}

int reap(pid_t pid, int ms)
{
    int status = 0;
    for (int waited = 0; waited < ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST(DaemonMessaging, LoggerEventFiveReachesTheThresholdThroughInitIpc)
{
    TempRoot root;
    pid_t child = forkChild([&] {
        IpcPeer logger;
        ASSERT_TRUE(logger.attach(root.path(), "Mif"));
        Init_Ipc();
        ASSERT_TRUE(logger.addRole(PeerRole::Logger));
        EXPECT_TRUE(logger.publishUntil(LOGGER_TOPIC, LOGGER_EVENT_THRESHOLD, bytesOf(uint32_t(4)),
                                        [] { return logThreshold() == 4; }, 5000));
        logger.stop();
        Deinit_Ipc();
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(reap(child, 15000), 0);
}

// A record queued while the logger has not told its threshold still goes at
// the end: the logger client is stopped while the layer is up.
TEST(DaemonMessaging, EntriesQueuedAtTheEndReachTheLogger)
{
    TempRoot root;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t daemon = forkChild([&] {
        close(go[1]);
        pollfd wait{go[0], POLLIN, 0};
        char byte;
        if (poll(&wait, 1, 5000) != 1 || read(go[0], &byte, 1) != 1)
            _exit(2);
        setenv("MIF_ROOT", root.path().c_str(), 1);
        Init_Ipc();
        LOGGER_LogBlackboxRecord("TE", "the last record");
        Deinit_Ipc();
    });
    ASSERT_GT(daemon, 0);
    close(go[0]);

    IpcPeer logger;
    ASSERT_TRUE(logger.start(root.path(), PeerRole::Logger));
    logger.setSilent(LOGGER_LEVEL_QUERY);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    EXPECT_EQ(reap(daemon, 15000), 0);
    EXPECT_TRUE(logger.waitFor(
        [&] {
            for (const PeerLogEntry &e : logger.logEntries())
                if (e.header.kind == LOG_KIND_BLACKBOX_RECORD && e.payload.size() == 16 + 3 + 16)
                    return true;
            return false;
        },
        3000));
}

} // namespace
