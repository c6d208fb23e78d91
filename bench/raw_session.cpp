#include "raw_session.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "raw_peers.h"
#include "session/auth.h"
#include "session/wire.h"

namespace {

enum { ACCEPT_POLL_MS = 100, CHAP_INDEX = 1 };
constexpr size_t kLargestFrame = size_t(FRAME_HEADER_SIZE) + size_t(CHALLENGE_SIZE);

bool sendFrameBytes(int fd, int32_t index, int32_t tag, const uint8_t *payload, uint32_t length)
{
    uint8_t frame[kLargestFrame];
    if (length > CHALLENGE_SIZE)
        return false;
    encodeFrameHeader(frame, index, tag, length);
    std::copy(payload, payload + length, frame + FRAME_HEADER_SIZE);
    return sendAll(fd, frame, FRAME_HEADER_SIZE + length);
}

// One session: challenge, answer, "ACK". The socket is this thread's.
void serveSession(int fd)
{
    uint8_t challenge[CHALLENGE_SIZE];
    int random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = random >= 0 && read(random, challenge, sizeof challenge) == ssize_t(sizeof challenge);
    if (random >= 0)
        close(random);
    uint8_t header[FRAME_HEADER_SIZE];
    int32_t index = 0, tag = 0;
    uint32_t length = 0;
    ok = ok && sendFrameBytes(fd, CHAP_INDEX, CHALLENGE_TAG, challenge, CHALLENGE_SIZE) &&
         receiveAll(fd, header, sizeof header);
    if (ok) {
        decodeFrameHeader(header, &index, &tag, &length);
        ok = drain(fd, length);
    }
    static const uint8_t ack[] = {'A', 'C', 'K', 0};
    if (ok)
        sendFrameBytes(fd, index, tag, ack, sizeof ack);
    // Until the client leaves, as the daemon's session waits for commands.
    char rest[64];
    while (recv(fd, rest, sizeof rest, 0) > 0) {
    }
    close(fd);
}

void acceptBody(RawSessionServer *server)
{
    std::thread session;
    while (!server->stop) {
        pollfd p{server->listenFd, POLLIN, 0};
        if (poll(&p, 1, ACCEPT_POLL_MS) <= 0 || !(p.revents & POLLIN))
            continue;
        int fd = accept4(server->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        timeval limit{RAW_WAIT_MS / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        // The previous client has left by now (the benchmark's sessions
        // follow one another): its thread ends at once.
        if (session.joinable())
            session.join();
        session = std::thread(serveSession, fd);
    }
    if (session.joinable())
        session.join();
}

}  // namespace

RawSessionServer::~RawSessionServer() { stopRawSessionServer(this); }

bool startRawSessionServer(RawSessionServer *server)
{
    server->listenFd = listenLoopback(&server->port);
    if (server->listenFd < 0)
        return false;
    server->stop = false;
    server->acceptor = std::thread(acceptBody, server);
    return true;
}

void stopRawSessionServer(RawSessionServer *server)
{
    server->stop = true;
    if (server->acceptor.joinable())
        server->acceptor.join();
    if (server->listenFd >= 0)
        close(server->listenFd);
    server->listenFd = -1;
}
