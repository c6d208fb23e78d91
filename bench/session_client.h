// The benchmark's own client: frames on a plain blocking socket with the
// transfer bounds of raw_peers, so that what is timed is the daemon and the
// kernel, not a client library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/signing.h"

struct AnswerFrame {
    int32_t index = 0;
    int32_t tag = 0;
    std::vector<uint8_t> payload;
    std::string text() const;   // up to the NUL
};

// Header and payload in one send.
bool sendFrame(int fd, int32_t index, int32_t tag, const void *payload, uint32_t length);
bool readFrame(int fd, AnswerFrame *frame);
// Only the header (for file answers, whose bytes the caller drains).
bool readFrameHeader(int fd, int32_t *index, int32_t *tag, uint32_t *length);

// A role's development key, loaded once (keys/dev/<role>.pem).
bool loadRoleKey(SigningKey *key, const std::string &role);
// Reads the challenge, answers it with the key; true on "ACK".
bool authenticateSession(int fd, const SigningKey &key);
