// The client protocol's frame: a 12-byte big-endian header (index, tag,
// payload length) followed by exactly `length` payload bytes.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

enum {
    FRAME_HEADER_SIZE = 12,
    FRAME_MAX_PAYLOAD = 1048576,  // payloads held in memory
    FRAME_POLL_MS = 100,          // first-byte poll of a session
};

// Encodes and decodes the header.
void encodeFrameHeader(uint8_t out[FRAME_HEADER_SIZE], int32_t index, int32_t tag, uint32_t length);
void decodeFrameHeader(const uint8_t in[FRAME_HEADER_SIZE], int32_t *index, int32_t *tag, uint32_t *length);

// Creates the listening socket on the given address or host name (all
// interfaces when null, unresolvable or unbindable) and the port of
// mifListenPort(). Returns the descriptor or -1. `quiet` leaves out the
// failure lines, for a caller that tries again and has said so once.
int registerSocket(const char *name, bool quiet = false);

// Accepts one client; the socket gets close-on-exec. Returns it or -1.
int wait4Client2Connect(int listenSocket);

// Reads one request. Returns null and sets *timedOut to 1 when nothing
// arrived within the 100 ms poll; returns null with *timedOut untouched on a
// transport failure or a refused frame. For commands of transfer type 1 and
// 3 only the header is read: the payload stays on the stream.
Command *receiveCommand(int socket, int *timedOut);

// Sends the frame and frees the command (clearing the caller's pointer).
// Returns the payload bytes sent or a negative errno (-22 for no command).
int sendPlainCommand(int socket, Command **command);
