// An in-test daemon that speaks the client protocol on a loopback port:
// it sends a challenge, accepts any 256-byte answer (or refuses it), and
// hands every request to the test's handler, recording what arrived.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeRequest {
    int32_t index = 0;
    int32_t tag = 0;
    std::vector<uint8_t> payload;  // for uploads, the file bytes
    std::string text() const;
};

class FakeConnection {
public:
    explicit FakeConnection(int fd) : fd_(fd) {}
    bool sendFrame(int32_t index, int32_t tag, const std::vector<uint8_t> &payload);
    bool sendText(int32_t index, int32_t tag, const std::string &text);  // with its NUL
    bool receive(void *buffer, size_t length);
    void closeNow();
    int fd() const { return fd_; }

private:
    int fd_;
};

// What the handler makes of one request: answer it itself and go on, or end
// the connection.
typedef std::function<bool(FakeConnection &, const FakeRequest &)> FakeHandler;

class FakeDaemon {
public:
    // Answers every request through `handler`; with `refuseAuth` the
    // challenge answer gets "NAK: Authorization failed".
    explicit FakeDaemon(FakeHandler handler, bool refuseAuth = false);
    ~FakeDaemon();

    int port() const { return port_; }
    int connections() const { return connections_; }
    std::vector<FakeRequest> requests();

    // The transfer type a request of this index has: uploads carry a file.
    static int transferType(int32_t index);

private:
    void serve();
    void serveOne(int fd);

    FakeHandler handler_;
    bool refuseAuth_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<FakeRequest> requests_;
    std::thread thread_;
};

// Answers "ACK" to everything.
bool answerAck(FakeConnection &connection, const FakeRequest &request);
