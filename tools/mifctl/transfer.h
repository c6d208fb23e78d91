// File transfers over a session.
//
// An upload is one frame header announcing the total size, followed by the
// bytes; the pieces let a prefix, a signature or a converted picture travel
// with a file without copying the file into memory. A download is one
// answer frame whose payload is the file, or a "NAK: ..." text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "connection.h"

// One part of an upload: bytes in memory, or a stretch of a local file.
struct UploadPiece {
    std::vector<uint8_t> bytes;
    std::string path;     // non-empty: `size` bytes of this file from `offset`
    uint64_t offset = 0;
    uint64_t size = 0;
};

UploadPiece memoryPiece(std::vector<uint8_t> bytes);
UploadPiece memoryPiece(const std::string &text);
// A whole local file; false with a message when it cannot be read.
bool filePiece(const std::string &path, UploadPiece *piece, std::string *error);

struct TransferOptions {
    std::string label;          // shown beside the progress bar
    bool progress = false;      // draw a progress bar on standard error
    int answerTimeoutMs = 0;    // wait for the answer after the upload; 0: the session's
    // For a program that shows the transfer itself (the console): told of
    // every block moved, and given the answer instead of printing it.
    std::function<void(uint64_t done, uint64_t total)> onProgress;
    Answer *answer = nullptr;
    // Download: set to the number of file bytes written.
    uint64_t *received = nullptr;
};

// Whether a progress bar belongs on standard error: only on a terminal.
bool progressWanted(bool quiet);

// Uploads the pieces under `index` and reads the answer. The result is an
// exit code: answers are printed (ACK on stdout, NAK on stderr); *error is
// set for EXIT_CONNECTION and EXIT_USAGE.
int uploadFile(Session &session, int32_t index, const std::vector<UploadPiece> &pieces,
               const TransferOptions &options, std::string *error);

// Downloads a file answer of `index` (with the suffix text as payload when
// not empty) into `output` ("-" for standard output). The file is written
// under a temporary name and renamed when complete, so a failed transfer
// never leaves a partial file under the real name.
int downloadFile(Session &session, int32_t index, const std::string &suffix, const std::string &output,
                 const TransferOptions &options, std::string *error);

// Whether the first bytes of a file answer are a NAK text rather than file
// content: short, beginning "NAK: " and ending with the text's NUL.
bool looksLikeNak(const uint8_t *data, size_t length, uint32_t total);

// The progress line for `done` of `total` bytes after `elapsedMs`, e.g.
// "Events.log  1.5 MiB / 3.0 MiB  50%  1.2 MiB/s  0:01 left".
std::string progressLine(const std::string &label, uint64_t done, uint64_t total, int64_t elapsedMs);
