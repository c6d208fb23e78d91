#include "platform/daemon_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/paths.h"

namespace {

// A probe of daemonLockHeld holds its shared lock for microseconds; a
// starting daemon that meets one tries again for this long.
enum { PROBE_WAIT_TRIES = 15, PROBE_WAIT_MS = 20 };

int lockedFd = -1;   // held until the process ends

pid_t pidInFile(int fd)
{
    char text[32] = {};
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? pid_t(strtol(text, nullptr, 10)) : 0;
}

} // namespace

std::string daemonLockPath()
{
    return mifRoot().empty() ? std::string("/tmp/mifd.lock") : mifPath("/run/mifd.lock");
}

int acquireDaemonLock(pid_t *holder)
{
    *holder = 0;
    const std::string path = daemonLockPath();
    const std::string directory = path.substr(0, path.rfind('/'));
    if (!directory.empty() && mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        return -errno;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    int result = -EWOULDBLOCK;
    for (int attempt = 0; attempt < PROBE_WAIT_TRIES; attempt++) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            result = 0;
            break;
        }
        if (errno != EWOULDBLOCK) {
            result = -errno;
            break;
        }
        sleepMs(PROBE_WAIT_MS);
    }
    if (result != 0) {
        if (result == -EWOULDBLOCK)
            *holder = pidInFile(fd);
        close(fd);
        return result;
    }
    char text[32];
    int length = snprintf(text, sizeof text, "%ld\n", long(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, size_t(length), 0) != length) {
        // The pid is for people and for the message of a second daemon;
        // the lock itself holds without it.
    }
    lockedFd = fd;
    return 0;
}

bool daemonLockHeld()
{
    int fd = open(daemonLockPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);   // drops the probe's own shared lock, if it took one
    return held;
}
