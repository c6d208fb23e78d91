// One daemon per root: the lock is held while its holder lives, is refused
// to a second process with the holder's pid, and is free again once the
// holder is killed. Each holder is a child process, since a lock is taken
// for the rest of its taker's life.
#include "platform/daemon_lock.h"
#include "test_env.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A child that takes the lock, reports the result on a pipe, and then
// waits to be killed.
pid_t startHolder(int *result)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        pid_t holder = 0;
        int rc[2] = {acquireDaemonLock(&holder), int(holder)};
        if (write(fds[1], rc, sizeof rc) != ssize_t(sizeof rc))
            _exit(1);
        for (;;)
            pause();
    }
    close(fds[1]);
    int rc[2] = {-1, 0};
    if (read(fds[0], rc, sizeof rc) != ssize_t(sizeof rc))
        rc[0] = -EIO;
    close(fds[0]);
    result[0] = rc[0];
    result[1] = rc[1];
    return pid;
}

void killAndReap(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(DaemonLock, OneHolderPerRootUntilItDies)
{
    char pattern[] = "/tmp/mif-lock-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    ScopedEnv env("MIF_ROOT", root.c_str());
    EXPECT_EQ(daemonLockPath(), root + "/run/mifd.lock");
    EXPECT_FALSE(daemonLockHeld()) << "no file yet: nobody holds it";

    int first[2], second[2];
    pid_t holder = startHolder(first);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(first[0], 0) << "the run directory is made when missing";
    EXPECT_TRUE(daemonLockHeld());

    pid_t refused = startHolder(second);
    EXPECT_EQ(second[0], -EWOULDBLOCK);
    EXPECT_EQ(second[1], int(holder)) << "the refusal names the holder";
    killAndReap(refused);
    EXPECT_TRUE(daemonLockHeld()) << "a refused second taker leaves the first one's lock";

    killAndReap(holder);
    EXPECT_FALSE(daemonLockHeld()) << "the kernel drops the lock of a killed holder; the file stays";
    pid_t next = startHolder(second);
    EXPECT_EQ(second[0], 0);
    killAndReap(next);
    std::filesystem::remove_all(root);
}

} // namespace
