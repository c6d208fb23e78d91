// The console's front door: how connections are taken in before the web
// library sees a byte of them.
//
// The library gives every connection a thread from the start, lets it
// idle on that thread, parses any number of headers into memory before
// the gate can look at them, and reads the bytes after a refused request
// as the next request. So the console takes the connections itself:
//
// - one door thread waits for the header blocks of all new connections at
//   once; a connection that sends nothing costs a descriptor and a small
//   buffer, never a thread. The door keeps only so many waiting (in all,
//   and per client address), dropping the one that has waited longest, and
//   a header block must be whole within a short time and a few KiB;
// - a complete header block goes to a worker; each connection carries one
//   request and is closed after its answer, so nothing left behind a
//   refused request is ever read as a request;
// - the event streams, which run for as long as a page is open, have
//   workers of their own, so open pages never hold the others up.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FrontLimits {
    size_t headerBytes = 16 * 1024;  // request line and headers, all together
    size_t headerLines = 100;
    int headerWaitMs = 5000;         // for the whole header block of a connection
    size_t waiting = 64;             // connections waiting for their headers, in all
    size_t waitingPerClient = 16;    // ... from one client address
    size_t workers = 8;
    size_t queued = 64;              // complete requests waiting for a worker
    size_t streams = 8;              // open event streams (one per open page)
    int ioTimeoutMs = 5000;          // any one read or write once a request is taken
};

// Where a header block stands: still arriving, whole (its length, the
// blank line included), or more than the limits allow.
enum HeaderScan { HEADER_PARTIAL, HEADER_COMPLETE, HEADER_TOO_LARGE };
HeaderScan scanHeaderBlock(const std::string &bytes, const FrontLimits &limits, size_t *length);

// Whether a complete request head asks for the event stream.
bool isEventStreamRequest(const std::string &head);

// A fixed set of threads with a bounded queue; tryRun refuses when full.
class WorkerPool {
public:
    WorkerPool(size_t threads, size_t queued);
    ~WorkerPool();
    bool tryRun(std::function<void()> job);
    void stop();  // runs what is queued, joins the threads

private:
    void work();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    size_t idle_ = 0, queued_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The web server with the console's front door.
class ConsoleServer : public httplib::Server {
public:
    explicit ConsoleServer(const FrontLimits &limits = FrontLimits());
    ~ConsoleServer() override;

    // Binds to HOST:PORT (PORT 0: any free port) with room for a burst of
    // new connections: the library's queue of five lets a flood make a
    // page's connection wait for the kernel's retries. The port, or -1.
    int bindConsole(const std::string &host, int port);

    // Ends the door and the workers after stop() ended listening; what
    // waits is closed, what runs is finished.
    void stopFront();

private:
    struct Waiting {
        int fd;
        std::string peer;
        std::string bytes;
        int64_t sinceMs;
    };
    bool process_and_close_socket(socket_t sock) override;
    void doorLoop();
    void admitLocked(std::vector<Waiting> &waiting, int fd);
    void serve(int fd, std::string bytes);
    void refuseRaw(int fd, int status, const char *reason);

    FrontLimits limits_;
    WorkerPool workers_, streams_;
    std::mutex inboxMutex_;
    std::vector<int> inbox_;
    bool doorStopping_ = false;
    int wake_[2] = {-1, -1};
    std::thread door_;
};

// Closes a connection so that an answer just written reaches the client
// even if it sent more: stops writing, reads a bounded rest, closes.
void closeLingering(int fd);
