#include "platform/input_device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int openInputDevice(const char *path, char *name, size_t nameSize)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (name && nameSize > 1) {
        // The driver fills at most the given bytes and may not terminate a
        // name that long, so it gets one byte less than the buffer.
        char reported[256] = {};
        size_t room = nameSize - 1 < sizeof reported - 1 ? nameSize - 1 : sizeof reported - 1;
        int saved = errno;
        if (ioctl(fd, EVIOCGNAME(room), reported) >= 0)
            memcpy(name, reported, room + 1);
        errno = saved;
    }
    return fd;
}

int waitInputReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

bool isInputFifo(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}
