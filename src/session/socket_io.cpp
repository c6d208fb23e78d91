// Timed whole-buffer transfers.
//
// Readiness is awaited with poll rather than select: select cannot watch a
// descriptor numbered 1024 or above, which a busy daemon may hand out.
//
// A receive that got part of its buffer waits for the rest as a whole: the
// socket's receive low-water mark is raised to the bytes still missing (up
// to a few KiB), so that poll wakes once they are all there. Without it a bulk upload, sent
// in pieces that do not line up with the 1 KiB blocks the daemon reads,
// catches up with the socket at every piece and pauses 10 ms each time.
// The pause stays for what the mark cannot tell: devices and sockets whose
// poll ignores the mark (local ones), where it keeps a trickling peer from
// costing a system call per byte. Sends need none: a socket reports room
// for writing only once a good part of its buffer is free.
#include "session/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

// The most a wait asks the socket to gather before it wakes. A mark near the
// receive window can hold the sender back while the receiver waits for it;
// a few KiB never can, and the daemon's blocks are 1 KiB.
enum { LOW_WATER_MAX = 4096 };

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

// Raises a socket's receive low-water mark for the rest of one transfer and
// puts the old mark back when the transfer ends. Receives then never block:
// with the mark raised a blocking recv would wait for the mark beyond the
// transfer's deadline.
class LowWaterMark {
public:
    explicit LowWaterMark(int fd) : fd_(fd) {}
    ~LowWaterMark()
    {
        if (raised_) {
            int saved = errno;
            setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &old_, sizeof old_);
            errno = saved;
        }
    }
    LowWaterMark(const LowWaterMark &) = delete;
    LowWaterMark &operator=(const LowWaterMark &) = delete;

    // Asks poll to wait for `rest` bytes; false when the socket cannot.
    bool expect(size_t rest)
    {
        int saved = errno;
        if (!raised_) {
            socklen_t size = sizeof old_;
            if (getsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &old_, &size) != 0) {
                errno = saved;
                return false;
            }
        }
        int mark = int(rest);
        bool ok = setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) == 0;
        raised_ = raised_ || ok;
        errno = saved;
        return ok;
    }

private:
    int fd_;
    int old_ = 1;
    bool raised_ = false;
};

ssize_t transferOnce(int mode, int fd, char *buffer, size_t length, int flags)
{
    switch (mode) {
    // Never a blocking send: after a wake for writability a blocking send
    // of the whole rest sleeps until the client has taken all of it, past
    // the deadline and the stop check. The kernel takes what fits.
    case TRANSFER_SEND: return send(fd, buffer, length, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    case TRANSFER_RECV: return recv(fd, buffer, length, (flags & ~MSG_WAITALL) | MSG_DONTWAIT);
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
    // its first byte has been read, and the poll would only say so. A send
    // likewise: an answer nearly always fits the socket's free room, and a
    // send that does not block (transferOnce) can simply try.
    bool tryBeforeWaiting = mode == TRANSFER_RECV || mode == TRANSFER_SEND;
    const bool bounded = timeoutMs > 0;
    const int64_t deadline = bounded ? monotonicMs() + timeoutMs : 0;
    int64_t now = monotonicMs();
    char *bytes = static_cast<char *>(buffer);
    size_t done = 0;
    LowWaterMark lowWater(fd);
    // What the last wait was raised for: a receive that brings less means
    // the mark did not hold (the peer closed, or the socket's poll ignores
    // the mark), and the pause applies again.
    size_t awaited = 0;
    bool markHolds = mode == TRANSFER_RECV;
    // After a partial transfer of `moved` bytes: wait for the rest as a
    // whole where the socket can, else pause.
    auto afterPartial = [&](size_t moved) {
        if (awaited > 0 && moved < awaited)
            markHolds = false;
        awaited = markHolds ? std::min(length - done, size_t(LOW_WATER_MAX)) : 0;
        if (awaited > 0 && !lowWater.expect(awaited)) {
            markHolds = false;
            awaited = 0;
        }
        // A send waits for writability alone: the socket wakes it only once
        // a good part of its buffer is free again, whatever the client's pace.
        if (!markHolds && mode != TRANSFER_SEND)
            sleepMs(10);
        now = monotonicMs();
    };

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
            ssize_t moved = transferOnce(mode, fd, bytes + done, length - done, flags);
            if (moved > 0) {
                done += size_t(moved);
                if (done < length)
                    afterPartial(size_t(moved));
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
        if (done < length)
            afterPartial(size_t(moved));
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
