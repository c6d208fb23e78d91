#include "fake_daemon.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "catalog.h"
#include "session/wire.h"

std::string FakeRequest::text() const
{
    std::string t(payload.begin(), payload.end());
    return t.substr(0, t.find('\0'));
}

bool FakeConnection::sendFrame(int32_t index, int32_t tag, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> frame(FRAME_HEADER_SIZE);
    encodeFrameHeader(frame.data(), index, tag, uint32_t(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool FakeConnection::sendText(int32_t index, int32_t tag, const std::string &text)
{
    std::vector<uint8_t> payload(text.begin(), text.end());
    payload.push_back(0);
    return sendFrame(index, tag, payload);
}

bool FakeConnection::receive(void *buffer, size_t length)
{
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < length) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        ssize_t n = recv(fd_, bytes + done, length - done, 0);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

void FakeConnection::closeNow()
{
    shutdown(fd_, SHUT_RDWR);
}

bool answerAck(FakeConnection &connection, const FakeRequest &request)
{
    return connection.sendText(request.index, request.tag, "ACK");
}

int FakeDaemon::transferType(int32_t index)
{
    const CommandRow *row = findCommandByIndex(index);
    return row ? row->transferType : 0;
}

FakeDaemon::FakeDaemon(FakeHandler handler, bool refuseAuth) : handler_(std::move(handler)), refuseAuth_(refuseAuth)
{
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(listenFd_, 5) == 0 &&
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon()
{
    stop_ = true;
    thread_.join();
    close(listenFd_);
}

std::vector<FakeRequest> FakeDaemon::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeDaemon::serve()
{
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        connections_++;
        serveOne(fd);
        close(fd);
    }
}

void FakeDaemon::serveOne(int fd)
{
    FakeConnection connection(fd);
    std::vector<uint8_t> challenge(256);
    for (size_t i = 0; i < challenge.size(); i++)
        challenge[i] = uint8_t(i * 31 + 7);
    if (!connection.sendFrame(1, 42, challenge))
        return;
    for (;;) {
        uint8_t header[FRAME_HEADER_SIZE];
        // An idle client is polled for a while, then given up.
        pollfd p{fd, POLLIN, 0};
        int waited = 0;
        while (!stop_ && poll(&p, 1, 50) == 0 && waited < 10000)
            waited += 50;
        if (stop_ || !connection.receive(header, sizeof header))
            return;
        FakeRequest request;
        uint32_t length = 0;
        decodeFrameHeader(header, &request.index, &request.tag, &length);
        request.payload.resize(length);
        if (!connection.receive(request.payload.data(), request.payload.size()))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        if (request.index == 1) {
            const bool good = request.payload.size() == 256 && !refuseAuth_;
            connection.sendText(1, request.tag, good ? "ACK" : "NAK: Authorization failed");
            continue;
        }
        if (!handler_(connection, request))
            return;
    }
}
