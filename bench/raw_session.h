// The floor of the authentication figure: what a session start costs on
// this machine without the daemon. A loopback listener whose thread waits
// for connections and starts a thread per connection, as the daemon does;
// that thread sends a challenge frame of the daemon's size from
// /dev/urandom, takes the answer frame and replies "ACK" without checking
// anything. The benchmark's client authenticates against it unchanged.
// Every wait is bounded; stop() joins every thread.
#pragma once

#include <atomic>
#include <thread>

struct RawSessionServer {
    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread acceptor;
    ~RawSessionServer();
};

bool startRawSessionServer(RawSessionServer *server);
void stopRawSessionServer(RawSessionServer *server);
