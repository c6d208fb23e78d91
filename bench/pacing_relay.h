// A slow link on loopback: a relay in user space that accepts one
// connection, connects it to the real server and forwards both directions
// at a fixed rate in segments of at most one Ethernet MSS. Each direction
// is paced on its own, by a token bucket that starts empty, so what the
// client sees is a link of that rate with the kernel's socket buffers as
// its queues. The rate counts payload bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

enum { RELAY_SEGMENT = 1448 };

struct PacingRelay {
    int listenFd = -1;
    int port = 0;
    int upstreamPort = 0;
    double bitsPerSecond = 0;
    // The two ends of the relayed connection, for stop() to wake the threads.
    std::atomic<int> clientFd{-1};
    std::atomic<int> serverFd{-1};
    std::thread thread;
    ~PacingRelay();
};

// Listens on 127.0.0.1 (relay->port) and relays one connection to
// 127.0.0.1:upstreamPort at `bitsPerSecond`.
bool startPacingRelay(PacingRelay *relay, int upstreamPort, double bitsPerSecond);
// Ends the connection if it is still open and joins the threads.
void stopPacingRelay(PacingRelay *relay);
