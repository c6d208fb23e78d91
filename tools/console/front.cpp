// The console's front door.
#include "front.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"

enum {
    READ_CHUNK = 4096,
    LINGER_BYTES = 1024 * 1024,  // read from a closing connection at most ...
    LINGER_MS = 500,             // ... for at most this long
    DOOR_TICK_MS = 1000,
    ACCEPT_BACKLOG = 256,
};

HeaderScan scanHeaderBlock(const std::string &bytes, const FrontLimits &limits, size_t *length)
{
    const size_t end = bytes.find("\r\n\r\n");
    const size_t scanned = end == std::string::npos ? bytes.size() : end + 4;
    size_t lines = 0;
    for (size_t i = 0; i < scanned; i++)
        lines += bytes[i] == '\n';
    if (scanned > limits.headerBytes || lines > limits.headerLines + 1)
        return HEADER_TOO_LARGE;
    if (end == std::string::npos)
        return HEADER_PARTIAL;
    *length = scanned;
    return HEADER_COMPLETE;
}

bool isEventStreamRequest(const std::string &head)
{
    static const char kStart[] = "GET /api/events";
    if (head.compare(0, sizeof kStart - 1, kStart) != 0 || head.size() < sizeof kStart)
        return false;
    const char next = head[sizeof kStart - 1];
    return next == ' ' || next == '?';
}

// ------------------------------------------------------------- workers

WorkerPool::WorkerPool(size_t threads, size_t queued) : queued_(queued)
{
    for (size_t i = 0; i < threads; i++)
        threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool()
{
    stop();
}

bool WorkerPool::tryRun(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || jobs_.size() >= idle_ + queued_)
            return false;
        jobs_.push_back(std::move(job));
    }
    changed_.notify_one();
    return true;
}

void WorkerPool::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        idle_++;
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        idle_--;
        if (jobs_.empty())
            return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void WorkerPool::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread &thread : threads_)
        if (thread.joinable())
            thread.join();
}

// ------------------------------------------------------------- one connection

// The library's view of a connection the door took in: the bytes the door
// already read come first, then the socket, every wait bounded.
namespace {

class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int fd, std::string head, int timeoutMs) : fd_(fd), head_(std::move(head)), timeoutMs_(timeoutMs)
    {
    }
    bool is_readable() const override { return at_ < head_.size() || waitFor(POLLIN); }
    bool is_writable() const override { return waitFor(POLLOUT); }
    ssize_t read(char *ptr, size_t size) override
    {
        if (at_ < head_.size()) {
            const size_t n = std::min(size, head_.size() - at_);
            memcpy(ptr, head_.data() + at_, n);
            at_ += n;
            return ssize_t(n);
        }
        if (!waitFor(POLLIN))
            return -1;
        ssize_t got;
        do
            got = recv(fd_, ptr, size, 0);
        while (got < 0 && errno == EINTR);
        return got;
    }
    ssize_t write(const char *ptr, size_t size) override
    {
        if (!waitFor(POLLOUT))
            return -1;
        ssize_t sent;
        do
            sent = send(fd_, ptr, size, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        return sent;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override { address(true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address(false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    bool waitFor(short events) const
    {
        pollfd p{fd_, events, 0};
        int n;
        do
            n = poll(&p, 1, timeoutMs_);
        while (n < 0 && errno == EINTR);
        return n > 0;
    }
    void address(bool remote, std::string &ip, int &port) const;

    int fd_;
    std::string head_;
    size_t at_ = 0;
    int timeoutMs_;
};

// TaskQueue that runs the library's job at once, on its accept thread: the
// job only hands the connection to the door.
class HandToDoor : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

}  // namespace

static void socketAddress(int fd, bool remote, std::string &ip, int &port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ip.clear();
    port = 0;
    if ((remote ? getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length)
                : getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length)) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    ip = text;
}

void ConnectionStream::address(bool remote, std::string &ip, int &port) const
{
    socketAddress(fd_, remote, ip, port);
}

void closeLingering(int fd)
{
    shutdown(fd, SHUT_WR);
    const int64_t deadline = monotonicMs() + LINGER_MS;
    char sink[READ_CHUNK];
    size_t drained = 0;
    while (drained < LINGER_BYTES) {
        const int64_t left = deadline - monotonicMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        const ssize_t got = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got <= 0)
            break;
        drained += size_t(got);
    }
    close(fd);
}

// ------------------------------------------------------------- the server

ConsoleServer::ConsoleServer(const FrontLimits &limits)
    : limits_(limits), workers_(limits.workers, limits.queued), streams_(limits.streams, 0)
{
    new_task_queue = [] { return new HandToDoor; };
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
    door_ = std::thread([this] { doorLoop(); });
}

ConsoleServer::~ConsoleServer()
{
    stopFront();
}

int ConsoleServer::bindConsole(const std::string &host, int port)
{
    if (port == 0)
        port = bind_to_any_port(host);
    else if (!bind_to_port(host, port))
        port = -1;
    // Listening again on a listening socket only changes its queue.
    if (port > 0 && ::listen(svr_sock_, ACCEPT_BACKLOG) != 0)
        port = -1;
    return port;
}

void ConsoleServer::stopFront()
{
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        doorStopping_ = true;
    }
    if (wake_[1] >= 0 && ::write(wake_[1], "x", 1) < 0) {
        // The pipe is full: the door wakes anyway.
    }
    if (door_.joinable())
        door_.join();
    workers_.stop();
    streams_.stop();
    for (int &fd : wake_)
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
}

bool ConsoleServer::process_and_close_socket(socket_t sock)
{
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        if (doorStopping_ || wake_[1] < 0) {
            close(sock);
            return false;
        }
        inbox_.push_back(sock);
    }
    if (::write(wake_[1], "x", 1) < 0) {
        // Full: the door has wake-ups enough.
    }
    return true;
}

void ConsoleServer::refuseRaw(int fd, int status, const char *reason)
{
    char answer[256];
    const int n = snprintf(answer, sizeof answer,
                           "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
                           "Connection: close\r\n\r\n%s\n",
                           status, reason, strlen(reason) + 1, reason);
    if (send(fd, answer, size_t(n), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        // The client is gone or not reading: it is closed all the same.
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

// A new connection waits for its headers; when too many wait, in all or
// from its address, the one that waited longest makes room.
void ConsoleServer::admitLocked(std::vector<Waiting> &waiting, int fd)
{
    std::string peer;
    int port = 0;
    socketAddress(fd, true, peer, port);
    size_t fromPeer = 0;
    for (const Waiting &w : waiting)
        fromPeer += w.peer == peer;
    auto dropOldest = [&](bool samePeer) {
        for (auto it = waiting.begin(); it != waiting.end(); ++it)
            if (!samePeer || it->peer == peer) {
                close(it->fd);
                waiting.erase(it);
                return;
            }
    };
    if (fromPeer >= limits_.waitingPerClient)
        dropOldest(true);
    if (waiting.size() >= limits_.waiting)
        dropOldest(false);
    waiting.push_back(Waiting{fd, peer, std::string(), monotonicMs()});
}

void ConsoleServer::doorLoop()
{
    std::vector<Waiting> waiting;
    std::vector<pollfd> polls;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(inboxMutex_);
            if (doorStopping_)
                break;
            for (int fd : inbox_)
                admitLocked(waiting, fd);
            inbox_.clear();
        }
        const int64_t now = monotonicMs();
        int timeout = DOOR_TICK_MS;
        polls.assign(1, pollfd{wake_[0], POLLIN, 0});
        for (const Waiting &w : waiting) {
            polls.push_back(pollfd{w.fd, POLLIN, 0});
            timeout = int(std::max<int64_t>(0, std::min<int64_t>(timeout, w.sinceMs + limits_.headerWaitMs - now)));
        }
        if (poll(polls.data(), polls.size(), timeout) < 0 && errno != EINTR)
            break;
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        const int64_t after = monotonicMs();
        // Backwards, so that erasing leaves the rest's poll entries in place.
        for (size_t i = waiting.size(); i-- > 0;) {
            Waiting &w = waiting[i];
            bool done = false;
            if (polls[i + 1].revents) {
                char chunk[READ_CHUNK];
                const ssize_t got = recv(w.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (got > 0) {
                    w.bytes.append(chunk, size_t(got));
                    size_t length = 0;
                    const HeaderScan scan = scanHeaderBlock(w.bytes, limits_, &length);
                    if (scan == HEADER_TOO_LARGE) {
                        refuseRaw(w.fd, 431, "Request Header Fields Too Large");
                        done = true;
                    } else if (scan == HEADER_COMPLETE) {
                        WorkerPool &pool = isEventStreamRequest(w.bytes) ? streams_ : workers_;
                        const int fd = w.fd;
                        std::string bytes = std::move(w.bytes);
                        if (!pool.tryRun([this, fd, bytes] { serve(fd, bytes); }))
                            refuseRaw(fd, 503, "Service Unavailable");
                        done = true;
                    }
                } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    close(w.fd);
                    done = true;
                }
            }
            if (!done && after - w.sinceMs >= limits_.headerWaitMs) {
                refuseRaw(w.fd, 408, "Request Timeout");
                done = true;
            }
            if (done)
                waiting.erase(waiting.begin() + long(i));
        }
    }
    for (const Waiting &w : waiting)
        close(w.fd);
    std::lock_guard<std::mutex> lock(inboxMutex_);
    for (int fd : inbox_)
        close(fd);
    inbox_.clear();
}

// One request on its connection, then the connection is closed: bytes the
// client sent beyond the request are never read as another.
void ConsoleServer::serve(int fd, std::string bytes)
{
    ConnectionStream stream(fd, std::move(bytes), limits_.ioTimeoutMs);
    bool closed = false;
    process_request(stream, true, closed, nullptr);
    closeLingering(fd);
}
