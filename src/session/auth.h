// Challenge-response authentication of a client.
//
// Every session begins with the daemon sending 256 random bytes (the
// challenge, MCH_CHAP with tag 42). The client answers with MCH_CHAP whose
// payload is an RSASSA-PSS signature of those bytes (see session/signing.h
// for the exact form) made with its role's private key. The daemon tries
// the role table's public keys in order; the first that verifies grants its
// level, provided the answer came within 10,000 ms of the challenge. The
// level then gates every command.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

enum {
    AUTH_ROLE_COUNT = 7,
    AUTH_ROLE_NAME_SIZE = 48,
    CHALLENGE_SIZE = 256,
    CHALLENGE_TAG = 42,
    CHALLENGE_MAX_AGE_MS = 10000,
    CHALLENGE_SALT_LENGTH = 16,
};

// One role: its public key (DER SubjectPublicKeyInfo; a row without a key
// is skipped), the role's name and the level it grants.
struct AuthRole {
    const uint8_t *key;
    uint32_t keyLength;
    char name[AUTH_ROLE_NAME_SIZE];
    int32_t level;
};

// The roles in the order they are tried. The keys are the ones the daemon
// was built with (keys/dev, or -DMIF_AUTH_KEY_DIR).
extern const AuthRole AuthRoleTable[AUTH_ROLE_COUNT];

// Whether the daemon was built with the development role keys (keys/dev),
// whose private halves are in the repository.
bool authKeysAreDevelopmentSet();
// Says so at start, on the console and at level 3, when it was: such a
// daemon lets anyone with the repository in and is not for the field.
void reportDevelopmentKeys();

// Draws a new challenge from /dev/urandom and returns it as the command to
// send (index MCH_CHAP, tag 42, the 256 bytes), or null when the random
// source cannot be read in full or memory runs out; then no challenge is
// pending and every answer is refused.
Command *createChallenge();

// MCH_CHAP's handler: checks the request's payload as a signature of the
// pending challenge. Answers "ACK" and grants the role's level, or answers
// "NAK: Authorization failed" and leaves the level as it was. Both answers
// carry index MCH_CHAP and the request's tag. The socket is not used.
// Retrying within the challenge's 10,000 ms is allowed.
Command *checkChallenge(Command *request, int socket);

// The client's authorisation level: 0 until a check succeeds.
int32_t getClientAuthLevel();

// Back to level 0; a new session starts unauthenticated.
void resetClientAuthLevel();

// The clock the challenge's age is measured on, in milliseconds: the
// monotonic clock, which no one can step. Tests install their own; null
// restores the monotonic clock.
typedef int64_t (*AuthClock)();
void setAuthClock(AuthClock clock);
