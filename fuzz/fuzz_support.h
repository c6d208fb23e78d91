// What every fuzz target shares: a private appliance root, the command
// table, and a socket pair to feed a reader or to catch what a sender sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Once per process: makes a fresh appliance root (on /dev/shm when there is
// one, so that the many syncs of file replacement cost nothing), points
// MIF_ROOT at it, sends the console to /dev/null, and installs the command
// table with the rows' levels, transfer types and files but no handlers.
// The root is removed when the process exits normally.
void fuzzSetup();

// The host path of an appliance path under the fuzz root.
std::string fuzzPath(const std::string &appliancePath);

// Replaces a file under the root with the bytes (creating directories).
void fuzzWriteFile(const std::string &appliancePath, const uint8_t *data, size_t size);
bool fuzzReadFile(const std::string &appliancePath, std::vector<uint8_t> *content);
// Removes every entry of a directory under the root.
void fuzzClearDirectory(const std::string &applianceDir);
// The names in a directory under the root.
std::vector<std::string> fuzzListDirectory(const std::string &applianceDir);

// A connected stream socket pair with room for `bytes` in each direction.
struct SocketPair {
    int near = -1;   // the test's end
    int far = -1;    // the end handed to the code under test
    explicit SocketPair(size_t bytes = 1 << 20);
    ~SocketPair();
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    // Writes the bytes on the near end and closes its sending side, so the
    // far end reads them and then the end of the stream.
    bool feed(const uint8_t *data, size_t size);
    // Everything the far end sent until now (its sending side is closed
    // first so the read ends).
    std::vector<uint8_t> drain();
};

// One frame as the code under test sent it.
struct SentFrame {
    int32_t index;
    int32_t tag;
    std::vector<uint8_t> payload;
    std::string text() const;
};
// Splits a byte stream into frames; false when it does not end on a frame
// boundary.
bool splitFrames(const std::vector<uint8_t> &bytes, std::vector<SentFrame> *frames);

// Stops the fuzzer with a message when a property does not hold.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFail(__FILE__, __LINE__, #condition);                                              \
    } while (0)
[[noreturn]] void fuzzFail(const char *file, int line, const char *what);
