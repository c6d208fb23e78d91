// The baselines the figures are measured against: the same traffic without
// the daemon, on the same machine in the same run. Every server here runs
// on a thread of its own, serves one connection, and is joined by stop()
// (or its destructor); every wait is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

enum { RAW_BLOCK_SIZE = 1024, RAW_WAIT_MS = 10000 };

// A TCP listener on 127.0.0.1 and an ephemeral port.
int listenLoopback(int *port);
// A connected client socket to 127.0.0.1:port, or -1.
int connectLoopback(int port);
// Sends or receives exactly `length` bytes (blocking socket, bounded by
// RAW_WAIT_MS of silence); false on failure or close.
bool sendAll(int fd, const void *data, size_t length);
bool receiveAll(int fd, void *data, size_t length);
// Receives and drops `length` bytes through a 64 KiB buffer.
bool drain(int fd, uint64_t length);

// Serves one connection and answers every byte it receives with the same
// byte: the raw TCP round trip.
struct TcpEchoServer {
    int listenFd = -1;
    int port = 0;
    std::thread thread;
    ~TcpEchoServer();
};
bool startTcpEcho(TcpEchoServer *server);
void stopTcpEcho(TcpEchoServer *server);

// Round trips of `size`-byte messages on a connected socket (TCP echo).
std::vector<double> tcpEchoRoundTrips(int fd, size_t size, int count);

// A nanomsg reply socket bound to `address` that answers every request
// with its own bytes: the raw request/reply round trip.
struct NnEchoServer {
    int socket = -1;
    std::atomic<bool> stop{false};
    std::thread thread;
    ~NnEchoServer();
};
bool startNnEcho(NnEchoServer *server, const std::string &address);
void stopNnEcho(NnEchoServer *server);

// Round trips of `size`-byte requests to a reply socket at `address`.
std::vector<double> nnReqRepRoundTrips(const std::string &address, size_t size, int count);

// Download baseline: accepts one connection and sends the file on it in
// blocks of RAW_BLOCK_SIZE read from the file, then closes.
struct RawFileSender {
    int listenFd = -1;
    int port = 0;
    std::string path;
    std::thread thread;
    ~RawFileSender();
};
bool startRawFileSender(RawFileSender *sender, const std::string &path);
void stopRawFileSender(RawFileSender *sender);

// Upload baseline: accepts one connection, takes `length` bytes in blocks
// of at most RAW_BLOCK_SIZE and writes each to the file, fsyncs it and
// answers one byte.
struct RawFileReceiver {
    int listenFd = -1;
    int port = 0;
    std::string path;
    uint64_t length = 0;
    std::thread thread;
    ~RawFileReceiver();
};
bool startRawFileReceiver(RawFileReceiver *receiver, const std::string &path, uint64_t length);
void stopRawFileReceiver(RawFileReceiver *receiver);

// Sends `length` bytes in pieces of `piece` bytes, one send per piece.
bool sendInPieces(int fd, const uint8_t *data, uint64_t length, size_t piece);
