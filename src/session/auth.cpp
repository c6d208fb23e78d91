// The role table, the pending challenge and the check of a client's answer.
#include "session/auth.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

#include "frame/log.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "session/command_list.h"
#include "session/command_table.h"
#include "session/tfm_desc.h"

namespace {
// The role public keys, embedded at build time (cmake/EmbedAuthKeys.cmake).
#include "auth_keys.inc"
}  // namespace

const AuthRole AuthRoleTable[AUTH_ROLE_COUNT] = {
    {authKey_service, sizeof authKey_service, "Service Software Authentication", AUTH_SERVICE},
    {authKey_testlab, sizeof authKey_testlab, "Test Lab Authentication", AUTH_FULL},
    {authKey_developer, sizeof authKey_developer, "Developer Authentication", AUTH_FULL},
    {authKey_talven_developer, sizeof authKey_talven_developer, "TALVEN Developer Authentication", AUTH_FULL},
    {authKey_holmir_production, sizeof authKey_holmir_production, "HOLMIR Production Authentication", AUTH_FULL},
    {authKey_kestravel_production, sizeof authKey_kestravel_production, "KESTRAVEL Production Authentication",
     AUTH_FULL},
    {authKey_dunra_production, sizeof authKey_dunra_production, "DUNRA Production Authentication", AUTH_FULL},
};

namespace {

// The pending challenge and the level it granted, one for the process.
// Only the running session creates and checks challenges, but a displaced
// session may still read the level while the next one starts, so the level
// is atomic and the challenge is copied out under its lock.
struct ChallengeState {
    std::mutex lock;
    uint8_t bytes[CHALLENGE_SIZE] = {};
    int64_t createdMs = 0;  // on the AuthClock
    bool pending = false;   // false until a challenge was drawn in full
    std::atomic<int32_t> clientLevel{AUTH_NONE};
};

ChallengeState challenge;
std::atomic<AuthClock> authClock{nullptr};

int64_t authNowMs()
{
    AuthClock clock = authClock.load();
    return clock ? clock() : monotonicMs();
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Fills `out` from the random source; false on anything short of it.
bool readRandom(uint8_t (&out)[CHALLENGE_SIZE])
{
    const std::string path = mifPath("/dev/urandom");
    FdCloser source{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (source.fd < 0) {
        MIF_LOG(3, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    size_t have = 0;
    while (have < sizeof out) {
        ssize_t n = read(source.fd, out + have, sizeof out - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            MIF_LOG(3, "Reading %s gave %zu of %zu bytes\n", path.c_str(), have, sizeof out);
            return false;
        }
        have += static_cast<size_t>(n);
    }
    return true;
}

// Whether `signature` is the role's PSS signature of the challenge: SHA-512
// and MGF1-SHA-512, 16 salt bytes, the 256 challenge bytes standing in the
// place of the message hash. A signature not of the modulus size fails in
// the verification itself.
bool verifySignature(const AuthRole &role, const uint8_t *signature, uint32_t length,
                     const uint8_t (&bytes)[CHALLENGE_SIZE])
{
    // TomsFastMath is the daemon's only math provider; installing it here
    // keeps the check independent of what ran before in the process.
    if (ltc_mp.name != tfm_desc.name)
        ltc_mp = tfm_desc;
    if (register_hash(&sha512_desc) == -1) {
        MIF_LOG(3, "Error registering sha512\n");
        return false;
    }
    int hash = find_hash("sha512");

    rsa_key key;
    int err = rsa_import(role.key, role.keyLength, &key);
    if (err != CRYPT_OK) {
        MIF_LOG(3, "rsa_import failed with error: %s\n", error_to_string(err));
        return false;
    }
    int status = 0;
    err = rsa_verify_hash_ex(signature, length, bytes, CHALLENGE_SIZE, LTC_PKCS_1_PSS, hash,
                             CHALLENGE_SALT_LENGTH, &status, &key);
    rsa_free(&key);
    return err == CRYPT_OK && status == 1;
}

Command *refuse(int32_t tag)
{
    return createStringCommand(MCH_CHAP, tag, "NAK: Authorization failed");
}

}  // namespace

Command *createChallenge()
{
    uint8_t fresh[CHALLENGE_SIZE];
    bool drawn = readRandom(fresh);
    Command *command = drawn ? createRawCommand(MCH_CHAP, CHALLENGE_TAG, fresh, CHALLENGE_SIZE) : nullptr;

    std::lock_guard<std::mutex> guard(challenge.lock);
    // A failed draw also withdraws the previous session's challenge.
    challenge.pending = command != nullptr;
    if (command) {
        std::memcpy(challenge.bytes, fresh, CHALLENGE_SIZE);
        challenge.createdMs = authNowMs();
    }
    return command;
}

Command *checkChallenge(Command *request, int /*socket*/)
{
    const int64_t checkedMs = authNowMs();
    if (!request)
        return refuse(0);

    uint8_t bytes[CHALLENGE_SIZE];
    int64_t createdMs;
    bool pending;
    {
        std::lock_guard<std::mutex> guard(challenge.lock);
        std::memcpy(bytes, challenge.bytes, CHALLENGE_SIZE);
        createdMs = challenge.createdMs;
        pending = challenge.pending;
    }

    // An empty answer is no signature at all: it never reaches the verifier.
    const AuthRole *granted = nullptr;
    if (pending && request->data && request->length > 0) {
        for (const AuthRole &role : AuthRoleTable) {
            if (!role.key || !verifySignature(role, request->data, request->length, bytes))
                continue;
            MIF_LOG(5, "Client authenticated with %s\n", role.name);
            consoleLog(2, "Client authenticated with %s\n", role.name);
            if (role.level != AUTH_NONE)
                granted = &role;
            break;
        }
    }
    if (!granted) {
        MIF_LOG(4, "Peer failed responding to challenge, terminating!\n");
        return refuse(request->tag);
    }

    // The age on the monotonic clock: a wall clock may be stepped (by
    // MCH_SET_TIME_AND_DATE among others) between challenge and answer.
    const int64_t ageMs = checkedMs - createdMs;
    if (ageMs < 0 || ageMs > CHALLENGE_MAX_AGE_MS) {
        MIF_LOG(4, "Peer failed responding in time, terminating!\n");
        return refuse(request->tag);
    }
    challenge.clientLevel.store(granted->level);
    return createAckCommand(MCH_CHAP, request->tag);
}

bool authKeysAreDevelopmentSet() { return MIF_AUTH_KEYS_ARE_DEV; }

void reportDevelopmentKeys()
{
    if (!authKeysAreDevelopmentSet())
        return;
    const char *text = "This daemon accepts the development role keys: not for the field\n";
    consoleLog(1, "%s", text);
    LOGGER_LogMessage(3, 0, "%s", text);
}

int32_t getClientAuthLevel()
{
    return challenge.clientLevel.load();
}

void resetClientAuthLevel()
{
    challenge.clientLevel.store(AUTH_NONE);
}

void setAuthClock(AuthClock clock)
{
    authClock.store(clock);
}
