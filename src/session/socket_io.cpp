// Timed whole-buffer transfers.
//
// Readiness is awaited with poll rather than select: select cannot watch a
// descriptor numbered 1024 or above, which a busy daemon may hand out.
#include "session/socket_io.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

// Blocks SIGPIPE in this thread for one transfer. A SIGPIPE raised by the
// transfer is consumed before the old mask comes back, so it is never
// delivered; one that was pending before is left alone.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~SigpipeGuard() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    void consumeIfRaised()
    {
        if (wasPending_)
            return;
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        timespec none{0, 0};
        int saved = errno;
        while (sigtimedwait(&pipe, nullptr, &none) == -1 && errno == EINTR) {
        }
        errno = saved;
    }

private:
    sigset_t old_;
    bool wasPending_ = false;
};

ssize_t transferOnce(int mode, int fd, char *buffer, size_t length, int flags)
{
    switch (mode) {
    case TRANSFER_SEND: return send(fd, buffer, length, flags | MSG_NOSIGNAL);
    case TRANSFER_RECV: return recv(fd, buffer, length, flags & ~MSG_WAITALL);
    case TRANSFER_WRITE: return write(fd, buffer, length);
    default: return read(fd, buffer, length);
    }
}

thread_local TransferStopCheck stopCheck = nullptr;
thread_local int stopArgument = 0;

} // namespace

void setTransferStopCheck(TransferStopCheck check, int argument)
{
    stopCheck = check;
    stopArgument = argument;
}

bool transferStopRequested() { return stopCheck && stopCheck(stopArgument); }

ssize_t socket_transfer(int mode, int fd, void *buffer, size_t length, int flags, int timeoutMs)
{
    if (mode < TRANSFER_SEND || mode > TRANSFER_READ) {
        errno = EINVAL;
        return -1;
    }
    // Only write() can raise SIGPIPE: send() carries MSG_NOSIGNAL and reads
    // raise none. Masking for the others would cost three system calls per
    // transfer, four transfers per command, for nothing.
    std::optional<SigpipeGuard> sigpipe;
    if (mode == TRANSFER_WRITE)
        sigpipe.emplace();
    const bool writing = mode == TRANSFER_SEND || mode == TRANSFER_WRITE;
    // A receive first takes what is already there without waiting: a
    // command's header and payload are usually in the socket by the time
    // its first byte has been read, and the poll would only say so.
    bool tryBeforeWaiting = mode == TRANSFER_RECV;
    const bool bounded = timeoutMs > 0;
    const int64_t deadline = bounded ? monotonicMs() + timeoutMs : 0;
    int64_t now = monotonicMs();
    char *bytes = static_cast<char *>(buffer);
    size_t done = 0;

    while (done < length) {
        int wait = -1;
        if (bounded) {
            int64_t remaining = deadline - now;
            if (remaining < 0) {
                errno = ETIMEDOUT;
                return ssize_t(done);
            }
            wait = int(remaining);
        }
        if (tryBeforeWaiting) {
            tryBeforeWaiting = false;
            ssize_t moved = recv(fd, bytes + done, length - done, (flags & ~MSG_WAITALL) | MSG_DONTWAIT);
            if (moved > 0) {
                done += size_t(moved);
                if (done < length) {
                    sleepMs(10);
                    now = monotonicMs();
                }
                continue;
            }
            if (moved == 0)
                return 0;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return -1;
        }
        if (done > 0 && transferStopRequested()) {
            errno = ECANCELED;
            return -1;
        }
        // Waits in slices while a stop check is set, asking it after each.
        int slice = wait;
        if (stopCheck && (slice < 0 || slice > TRANSFER_STOP_POLL_MS))
            slice = TRANSFER_STOP_POLL_MS;
        pollfd p{fd, short(writing ? POLLOUT : POLLIN), 0};
        int ready = poll(&p, 1, slice);
        if (ready == 0) {
            if (transferStopRequested()) {
                errno = ECANCELED;
                return -1;
            }
            now = monotonicMs();
            if (slice == wait || (bounded && now >= deadline)) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                now = monotonicMs();
                continue;
            }
            return -1;
        }
        ssize_t moved = transferOnce(mode, fd, bytes + done, length - done, flags);
        if (moved < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                now = monotonicMs();
                continue;
            }
            if (sigpipe && errno == EPIPE)
                sigpipe->consumeIfRaised();
            return -1;
        }
        if (moved == 0)
            return 0;
        done += size_t(moved);
        if (done < length) {
            sleepMs(10);
            now = monotonicMs();
        }
    }
    return ssize_t(done);
}

ssize_t socket_send(int fd, const void *buffer, size_t length, int flags, int timeoutMs)
{
    return socket_transfer(TRANSFER_SEND, fd, const_cast<void *>(buffer), length, flags, timeoutMs);
}

ssize_t socket_recv(int fd, void *buffer, size_t length, int flags, int timeoutMs)
{
    return socket_transfer(TRANSFER_RECV, fd, buffer, length, flags, timeoutMs);
}

ssize_t socket_write(int fd, const void *buffer, size_t length, int timeoutMs)
{
    return socket_transfer(TRANSFER_WRITE, fd, const_cast<void *>(buffer), length, 0, timeoutMs);
}

ssize_t socket_read(int fd, void *buffer, size_t length, int timeoutMs)
{
    return socket_transfer(TRANSFER_READ, fd, buffer, length, 0, timeoutMs);
}
