// Timed whole-buffer transfers for sockets and devices.
//
// Every socket and device read and write of the daemon goes through
// socket_transfer: it waits for readiness before each attempt, never longer
// than the deadline in total (measured on the monotonic clock), and never
// lets SIGPIPE reach the process. Socket sends and receives never block in
// the system call itself, so a client that stops reading or writing holds
// a session no longer than the deadline or the stop check allow. After part
// of a receive it waits for the rest as a whole where the socket can tell
// (TCP); a send waits for room; elsewhere it pauses 10 ms between partial
// transfers.
#pragma once

#include <cstddef>
#include <sys/types.h>

enum { SOCKET_TIMEOUT_MS = 10000 };

enum SocketTransferMode { TRANSFER_SEND = 0, TRANSFER_RECV = 1, TRANSFER_WRITE = 2, TRANSFER_READ = 3 };

// Moves `length` bytes. Returns the bytes moved (short on a deadline, with
// errno ETIMEDOUT), 0 when the peer closed, or -1 with errno set. A timeout
// of 0 or less waits without a deadline.
ssize_t socket_transfer(int mode, int fd, void *buffer, size_t length, int flags, int timeoutMs);

// What ends the calling thread's transfers early. A session sets it for its
// own thread, so that displacing the session or shutting the daemon down
// also ends a transfer that a slow client keeps alive, byte by byte, within
// the deadline. With a check set, no wait lasts longer than
// TRANSFER_STOP_POLL_MS without asking it, and it is asked again before
// every wait once part of the buffer has moved; a buffer that goes through
// at once is not stopped, so an answer sent after a shutdown request still
// leaves. A transfer the check stops fails with errno ECANCELED. Null clears.
enum { TRANSFER_STOP_POLL_MS = 100 };
using TransferStopCheck = bool (*)(int argument);
void setTransferStopCheck(TransferStopCheck check, int argument);
// Whether the calling thread's check says stop (false without one): loops
// that move a file block by block ask it between blocks.
bool transferStopRequested();

ssize_t socket_send(int fd, const void *buffer, size_t length, int flags, int timeoutMs = SOCKET_TIMEOUT_MS);
ssize_t socket_recv(int fd, void *buffer, size_t length, int flags, int timeoutMs = SOCKET_TIMEOUT_MS);
ssize_t socket_write(int fd, const void *buffer, size_t length, int timeoutMs = SOCKET_TIMEOUT_MS);
ssize_t socket_read(int fd, void *buffer, size_t length, int timeoutMs = SOCKET_TIMEOUT_MS);
