// File transfers of the client protocol: service logs fetched and replaced,
// the address file, an image for the display and a sound to play.
//
// A file answer travels as one ordinary frame whose payload is the file (or
// its tail from the first log line at or after a time bound); an upload is a
// request header announcing the size, followed directly by the file bytes.
// Both directions move one 1,024-byte block at a time, whatever the size.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

enum {
    FILE_BLOCK_SIZE = 1024,
    FRAMEBUFFER_IMAGE_SIZE = 522240,   // the display's whole framebuffer
    LOG_BOUND_WINDOW_MS = 6000000,     // how far back a service client sees the newest logs
    FILE_UNPARSABLE = -42,             // sendFileCommand: the log's lines cannot be read
};

// Whether the answer names a file to stream: its command sends files (type 2
// or above) and its text is not a NAK. The answer must not be null.
bool cmdSendsFile(const Command *answer);

// Whether a file answer is cut at a time bound for a client of this level:
// the operational data and the events (SVC_GET_BB, SVC_GET_EVENTS) for
// service-level clients.
bool fileAnswerIsBounded(int32_t index, int32_t clientLevel);
// The bound for a machine time (ms): the newest LOG_BOUND_WINDOW_MS of the
// log, or 0 (everything) while the machine has not run that long.
uint64_t fileAnswerLowerBound(uint64_t machineTimeMs);

// Streams the file the answer names (an appliance path) as a frame under the
// answer's index and tag. A bound of 0 sends the whole file; otherwise the
// file's lines ("<time>;...", decimal or 0x-hex) are skipped up to the first
// one at or after the bound. A file that cannot be read or has nothing to
// send is answered "NAK: No data to send"; a line time that is not a number
// first gets the invalid-offset-time NAK. The answer is deleted in
// every case. Returns the bytes sent including the 12-byte header, or a
// negative value that ends the session: -EINVAL for no answer, -errno of a
// failed send or read, FILE_UNPARSABLE for a line of a block or more, or a
// log that ends inside a line it had to read past.
int sendFileCommand(int socket, Command *answer, uint64_t lowerBound);

// Takes `count` bytes from the socket into the file (an appliance path).
// Devices such as the framebuffer and /dev/null are written directly; a
// regular file is replaced only once every byte has arrived and was written,
// so a failed upload leaves the old file as it was. The data package and its
// signature are renamed into place; every other file gets the new content
// copied into it, keeping its inode, owner and mode, since other processes
// hold it open or write it too. With `ppfx_len` an index
// prefix "N:" at the start of the data (N from 0 to 999) is recognised: it
// is not written, N above 0 sends the data to "<file>.N", and *ppfx_len
// receives its length (0 without one); a colon after anything else fails
// the upload. After a failure the rest of the bytes is still taken and
// dropped so that the stream stays in step. Returns `count` when all went
// well, 0 when the file could not be written, or the bytes taken when the
// socket failed first.
uint32_t receiveFile(int socket, const char *fileName, uint32_t count, uint32_t *ppfx_len);

// Recovers what uploads cut short by the daemon's end left beside their
// files (an upload goes to a temporary copy until every byte is in, an
// in-place commit keeps a rollback copy of the old content until the new
// one is in, and SIGTERM or a crash ends the process without cleaning up),
// and the same leftovers of the calibration and serial files, which the
// daemon replaces whole: a rollback copy is put back into its file, a
// temporary copy removed. Only the daemon's own names are touched. Run at
// start-up, before any session can be receiving.
void removeUnfinishedUploads();

// Handlers (request and socket in, answer under the request's index and tag).
Command *cmdHandler_SendFileCmd(Command *request, int socket);    // SVC_GET_*: the file to stream
Command *cmdHandler_RecvFileCmd(Command *request, int socket);    // SVC_SET_*, MCH_SET_IPADDR
Command *cmdHandler_MCHDisplayImg(Command *request, int socket);  // MCH_DISPLAY_IMG
Command *cmdHandler_MCHPlaySnd(Command *request, int socket);     // MCH_PLAY_SND
