#include "pacing_relay.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "raw_peers.h"

namespace {

// How far a direction may catch up after falling behind its schedule: 20 ms
// of the rate (at least 32 segments). The relay is a process on a shared
// machine, and a wake-up that comes late must not be taken for a slower
// link. The bucket starts empty, so no transfer is ever ahead of the rate.
double bucketBytes(double bytesPerSecond) { return std::max(32.0 * double(RELAY_SEGMENT), bytesPerSecond * 0.020); }

double monotonicSeconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct TokenBucket {
    double bytesPerSecond;
    double capacity = bucketBytes(bytesPerSecond);
    double tokens = 0;
    double last = monotonicSeconds();

    // Waits until `bytes` may go, then takes them.
    void take(size_t bytes)
    {
        for (;;) {
            double now = monotonicSeconds();
            tokens = std::min(capacity, tokens + (now - last) * bytesPerSecond);
            last = now;
            if (tokens >= double(bytes))
                break;
            double wait = (double(bytes) - tokens) / bytesPerSecond;
            timespec pause{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
            nanosleep(&pause, nullptr);
        }
        tokens -= double(bytes);
    }
};

// Forwards from one end to the other until the source ends, then passes the
// end on. Reads what has arrived (up to 64 KiB) and sends it on segment by
// segment on the schedule.
void forward(int from, int to, double bytesPerSecond)
{
    TokenBucket bucket{bytesPerSecond};
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, RAW_WAIT_MS) != 1)
            break;
        ssize_t n = recv(from, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bool sent = true;
        for (ssize_t at = 0; sent && at < n; at += RELAY_SEGMENT) {
            size_t segment = size_t(std::min<ssize_t>(RELAY_SEGMENT, n - at));
            bucket.take(segment);
            sent = sendAll(to, buffer.data() + at, segment);
        }
        if (!sent)
            break;
    }
    shutdown(to, SHUT_WR);
}

void relayBody(PacingRelay *relay)
{
    pollfd p{relay->listenFd, POLLIN, 0};
    if (poll(&p, 1, RAW_WAIT_MS) != 1 || !(p.revents & POLLIN))
        return;
    int client = accept4(relay->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    timeval limit{RAW_WAIT_MS / 1000, 0};
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int server = connectLoopback(relay->upstreamPort);
    if (server < 0) {
        close(client);
        return;
    }
    // Each segment leaves when its time comes, as on a link; Nagle's
    // algorithm would hold it back until the last one is acknowledged.
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    relay->clientFd = client;
    relay->serverFd = server;
    const double bytesPerSecond = relay->bitsPerSecond / 8;
    std::thread up(forward, client, server, bytesPerSecond);
    forward(server, client, bytesPerSecond);
    up.join();
}

}  // namespace

PacingRelay::~PacingRelay() { stopPacingRelay(this); }

bool startPacingRelay(PacingRelay *relay, int upstreamPort, double bitsPerSecond)
{
    relay->upstreamPort = upstreamPort;
    relay->bitsPerSecond = bitsPerSecond;
    relay->listenFd = listenLoopback(&relay->port);
    if (relay->listenFd < 0)
        return false;
    relay->thread = std::thread(relayBody, relay);
    return true;
}

void stopPacingRelay(PacingRelay *relay)
{
    // Shutting the sockets down wakes every wait of the threads.
    if (relay->listenFd >= 0)
        shutdown(relay->listenFd, SHUT_RDWR);
    for (std::atomic<int> *end : {&relay->clientFd, &relay->serverFd}) {
        int fd = end->load();
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    }
    if (relay->thread.joinable())
        relay->thread.join();
    for (std::atomic<int> *end : {&relay->clientFd, &relay->serverFd}) {
        int fd = end->exchange(-1);
        if (fd >= 0)
            close(fd);
    }
    if (relay->listenFd >= 0)
        close(relay->listenFd);
    relay->listenFd = -1;
}
