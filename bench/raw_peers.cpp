#include "raw_peers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "stats.h"

// ------------------------------------------------------------------ sockets

static void boundTransfers(int fd)
{
    timeval limit{RAW_WAIT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int listenLoopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, 5) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int connectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    boundTransfers(fd);
    return fd;
}

// One connection, or -1 when none came within RAW_WAIT_MS or the listener
// was shut down.
static int acceptOne(int listenFd)
{
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, RAW_WAIT_MS) != 1 || !(p.revents & POLLIN))
        return -1;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        boundTransfers(fd);
    return fd;
}

static void closeListener(int *listenFd)
{
    if (*listenFd >= 0) {
        shutdown(*listenFd, SHUT_RDWR);   // wakes a thread waiting to accept
    }
}

static void finish(int *listenFd, std::thread *thread)
{
    closeListener(listenFd);
    if (thread->joinable())
        thread->join();
    if (*listenFd >= 0)
        close(*listenFd);
    *listenFd = -1;
}

bool sendAll(int fd, const void *data, size_t length)
{
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool receiveAll(int fd, void *data, size_t length)
{
    char *p = static_cast<char *>(data);
    while (length > 0) {
        ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool drain(int fd, uint64_t length)
{
    std::vector<char> buffer(65536);
    while (length > 0) {
        ssize_t n = recv(fd, buffer.data(), size_t(std::min<uint64_t>(length, buffer.size())), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        length -= uint64_t(n);
    }
    return true;
}

bool sendInPieces(int fd, const uint8_t *data, uint64_t length, size_t piece)
{
    for (uint64_t done = 0; done < length;) {
        size_t n = size_t(std::min<uint64_t>(piece, length - done));
        if (!sendAll(fd, data + done, n))
            return false;
        done += n;
    }
    return true;
}

// ----------------------------------------------------------------- TCP echo

TcpEchoServer::~TcpEchoServer() { stopTcpEcho(this); }

static void echoBody(int listenFd)
{
    int fd = acceptOne(listenFd);
    if (fd < 0)
        return;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !sendAll(fd, buffer, size_t(n)))
            break;
    }
    close(fd);
}

bool startTcpEcho(TcpEchoServer *server)
{
    server->listenFd = listenLoopback(&server->port);
    if (server->listenFd < 0)
        return false;
    server->thread = std::thread(echoBody, server->listenFd);
    return true;
}

void stopTcpEcho(TcpEchoServer *server) { finish(&server->listenFd, &server->thread); }

std::vector<double> tcpEchoRoundTrips(int fd, size_t size, int count)
{
    std::vector<char> message(size, 'e');
    std::vector<char> answer(size);
    std::vector<double> samples;
    samples.reserve(size_t(count));
    for (int i = 0; i < count; i++) {
        int64_t start = nowNs();
        if (!sendAll(fd, message.data(), size) || !receiveAll(fd, answer.data(), size))
            break;
        samples.push_back(double(nowNs() - start));
    }
    return samples;
}

// -------------------------------------------------------- nanomsg req/rep

NnEchoServer::~NnEchoServer() { stopNnEcho(this); }

static void nnEchoBody(NnEchoServer *server)
{
    while (!server->stop) {
        void *message = nullptr;
        int n = nn_recv(server->socket, &message, NN_MSG, 0);
        if (n < 0) {
            if (nn_errno() == EAGAIN || nn_errno() == EINTR || nn_errno() == ETIMEDOUT)
                continue;
            break;   // closed
        }
        nn_send(server->socket, &message, NN_MSG, 0);   // takes the message over
    }
}

bool startNnEcho(NnEchoServer *server, const std::string &address)
{
    server->socket = nn_socket(AF_SP, NN_REP);
    // The receive time-out lets the thread see the stop flag.
    int timeout = 100;
    if (server->socket < 0 ||
        nn_setsockopt(server->socket, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        nn_bind(server->socket, address.c_str()) < 0)
        return false;
    server->stop = false;
    server->thread = std::thread(nnEchoBody, server);
    return true;
}

void stopNnEcho(NnEchoServer *server)
{
    server->stop = true;
    if (server->thread.joinable())
        server->thread.join();
    if (server->socket >= 0)
        nn_close(server->socket);
    server->socket = -1;
}

std::vector<double> nnReqRepRoundTrips(const std::string &address, size_t size, int count)
{
    std::vector<double> samples;
    int s = nn_socket(AF_SP, NN_REQ);
    int timeout = RAW_WAIT_MS;
    if (s < 0 || nn_setsockopt(s, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        nn_connect(s, address.c_str()) < 0) {
        if (s >= 0)
            nn_close(s);
        return samples;
    }
    std::vector<char> message(size, 'r');
    samples.reserve(size_t(count));
    for (int i = 0; i < count; i++) {
        int64_t start = nowNs();
        if (nn_send(s, message.data(), size, 0) < 0)
            break;
        void *reply = nullptr;
        int n = nn_recv(s, &reply, NN_MSG, 0);
        if (n < 0)
            break;
        nn_freemsg(reply);
        samples.push_back(double(nowNs() - start));
    }
    nn_close(s);
    return samples;
}

// ------------------------------------------------------- raw file copies

RawFileSender::~RawFileSender() { stopRawFileSender(this); }

static void fileSenderBody(int listenFd, std::string path)
{
    int fd = acceptOne(listenFd);
    if (fd < 0)
        return;
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char block[RAW_BLOCK_SIZE];
    for (ssize_t n; file >= 0 && (n = read(file, block, sizeof block)) > 0;)
        if (!sendAll(fd, block, size_t(n)))
            break;
    if (file >= 0)
        close(file);
    close(fd);
}

bool startRawFileSender(RawFileSender *sender, const std::string &path)
{
    sender->path = path;
    sender->listenFd = listenLoopback(&sender->port);
    if (sender->listenFd < 0)
        return false;
    sender->thread = std::thread(fileSenderBody, sender->listenFd, path);
    return true;
}

void stopRawFileSender(RawFileSender *sender) { finish(&sender->listenFd, &sender->thread); }

RawFileReceiver::~RawFileReceiver() { stopRawFileReceiver(this); }

static void fileReceiverBody(int listenFd, std::string path, uint64_t length)
{
    int fd = acceptOne(listenFd);
    if (fd < 0)
        return;
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char block[RAW_BLOCK_SIZE];
    bool ok = file >= 0;
    for (uint64_t done = 0; ok && done < length;) {
        ssize_t n = recv(fd, block, size_t(std::min<uint64_t>(sizeof block, length - done)), 0);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0 && write(file, block, size_t(n)) == n;
        done += ok ? uint64_t(n) : 0;
    }
    if (file >= 0) {
        ok = fsync(file) == 0 && ok;
        close(file);
    }
    char answer = ok ? 'A' : 'N';
    sendAll(fd, &answer, 1);
    close(fd);
}

bool startRawFileReceiver(RawFileReceiver *receiver, const std::string &path, uint64_t length)
{
    receiver->path = path;
    receiver->length = length;
    receiver->listenFd = listenLoopback(&receiver->port);
    if (receiver->listenFd < 0)
        return false;
    receiver->thread = std::thread(fileReceiverBody, receiver->listenFd, path, length);
    return true;
}

void stopRawFileReceiver(RawFileReceiver *receiver) { finish(&receiver->listenFd, &receiver->thread); }
