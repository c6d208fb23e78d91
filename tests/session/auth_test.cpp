// The daemon's side of the challenge: the role table, the challenge, and
// which answers grant which level.
#include "session/auth.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/log_ring.h"
#include "session/command_list.h"
#include "session/auth_fixtures.h"
#include "session/signing.h"
#include "session/tfm_desc.h"
#include "test_env.h"

extern "C" const ltc_math_descriptor ltm_desc;

namespace {

int64_t fakeNowMs = 0;
int64_t fakeClock()
{
    return fakeNowMs;
}

struct CommandDeleter {
    void operator()(Command *command) const { deleteCommand(&command); }
};
using CommandPtr = std::unique_ptr<Command, CommandDeleter>;

std::string text(const Command *command)
{
    const char *payload = commandText(command);
    return payload ? payload : "";
}

// The logger entries queued so far, as "level text".
std::vector<std::string> logLines()
{
    std::vector<std::string> lines;
    LogEntry entry;
    for (unsigned i = 0; logRingPeek(i, &entry); ++i) {
        if (entry.text)
            lines.push_back(std::to_string(entry.level) + " " + entry.text);
        logEntryRelease(&entry);
    }
    return lines;
}

bool logged(const std::string &level, const std::string &function, const std::string &message)
{
    for (const std::string &line : logLines()) {
        if (line.rfind(level + " " + function + ",", 0) == 0 && line.size() >= message.size() &&
            line.compare(line.size() - message.size(), message.size(), message) == 0)
            return true;
    }
    return false;
}

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(logRingStart(1, LOG_RING_MAX_CAPACITY));
        ASSERT_EQ(signingSetup(), CRYPT_OK);
        ltc_mp = tfm_desc;
        fakeNowMs = 5000000;
        setAuthClock(fakeClock);
        resetClientAuthLevel();
    }
    void TearDown() override
    {
        setAuthClock(nullptr);
        resetClientAuthLevel();
        logRingFree();
    }

    // Loads a role's private key; false (and the test skips) when the key
    // set the daemon was built with has no private keys beside it.
    bool loadRole(int role, SigningKey *key)
    {
        return loadSigningKeyFile(key, keyPath(MIF_TEST_KEY_DIR, role, ".pem").c_str()) == CRYPT_OK;
    }

    // A new challenge's bytes.
    std::vector<uint8_t> challenge()
    {
        CommandPtr command(createChallenge());
        EXPECT_TRUE(command);
        if (!command)
            return {};
        EXPECT_EQ(command->index, MCH_CHAP);
        EXPECT_EQ(command->tag, CHALLENGE_TAG);
        EXPECT_EQ(command->length, uint32_t(CHALLENGE_SIZE));
        return std::vector<uint8_t>(command->data, command->data + command->length);
    }

    // Sends `payload` as MCH_CHAP with `tag`; the answer's text.
    static std::string answer(const std::vector<uint8_t> &payload, int32_t tag = 7)
    {
        Command request{MCH_CHAP, tag, uint32_t(payload.size()),
                        payload.empty() ? nullptr : const_cast<uint8_t *>(payload.data())};
        CommandPtr reply(checkChallenge(&request, -1));
        EXPECT_TRUE(reply);
        if (!reply)
            return "<null>";
        EXPECT_EQ(reply->index, MCH_CHAP);
        EXPECT_EQ(reply->tag, tag);
        EXPECT_EQ(reply->length, text(reply.get()).size() + 1) << "answers carry their NUL";
        return text(reply.get());
    }
};

TEST_F(AuthTest, TheTableHoldsTheBuiltKeysInRoleOrder)
{
    const char *names[AUTH_ROLE_COUNT] = {
        "Service Software Authentication",    "Test Lab Authentication",
        "Developer Authentication",           "TALVEN Developer Authentication",
        "HOLMIR Production Authentication",   "KESTRAVEL Production Authentication",
        "DUNRA Production Authentication",
    };
    for (int role = 0; role < AUTH_ROLE_COUNT; ++role) {
        SCOPED_TRACE(kRoleFiles[role]);
        const AuthRole &row = AuthRoleTable[role];
        EXPECT_STREQ(row.name, names[role]);
        EXPECT_EQ(row.level, role == 0 ? 1 : 5);
        std::vector<uint8_t> der = readKeyFile(keyPath(MIF_TEST_KEY_DIR, role, ".der"));
        ASSERT_EQ(row.keyLength, 294u);
        EXPECT_EQ(std::vector<uint8_t>(row.key, row.key + row.keyLength), der);
        for (int other = 0; other < role; ++other)
            EXPECT_NE(std::memcmp(row.key, AuthRoleTable[other].key, 294), 0) << "same key as row " << other;
    }
}

TEST_F(AuthTest, EachRoleKeyGrantsItsRowsLevelWithTheTfmProviderVerifying)
{
    for (int role = 0; role < AUTH_ROLE_COUNT; ++role) {
        SCOPED_TRACE(kRoleFiles[role]);
        SigningKey key;
        if (!loadRole(role, &key))
            GTEST_SKIP() << "no private keys beside the embedded public keys";
        resetClientAuthLevel();
        std::vector<uint8_t> bytes = challenge();
        std::vector<uint8_t> signature = signBytes(key, bytes);

        ltc_mp = ltm_desc;  // whatever ran before, the check installs TomsFastMath
        testing::internal::CaptureStderr();
        EXPECT_EQ(answer(signature, 100 + role), "ACK");
        std::string console = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(ltc_mp.name, tfm_desc.name);
        ltc_mp = tfm_desc;

        EXPECT_EQ(getClientAuthLevel(), AuthRoleTable[role].level);
        std::string name = AuthRoleTable[role].name;
        EXPECT_TRUE(logged("5", "checkChallenge", "Client authenticated with " + name + "\n"));
        EXPECT_NE(console.find("Client authenticated with " + name + "\n"), std::string::npos) << console;
    }
}

TEST_F(AuthTest, WrongSignaturesAreRefusedAndLeaveTheLevelAsItWas)
{
    SigningKey service, testlab;
    if (!loadRole(0, &service) || !loadRole(1, &testlab))
        GTEST_SKIP() << "no private keys beside the embedded public keys";
    // Level 1 to start with, so that a refusal visibly keeps it.
    ASSERT_EQ(answer(signBytes(service, challenge())), "ACK");
    ASSERT_EQ(getClientAuthLevel(), 1);

    SigningKey stranger;
    {
        prng_state prng;
        sprng_start(&prng);
        ASSERT_EQ(rsa_make_key(&prng, find_prng("sprng"), 2048 / 8, 65537, &stranger.key), CRYPT_OK);
        stranger.loaded = true;
    }

    std::vector<uint8_t> bytes = challenge();
    std::vector<uint8_t> good = signBytes(testlab, bytes);

    std::vector<uint8_t> pkcs1v15(256);
    {
        prng_state prng;
        sprng_start(&prng);
        std::vector<uint8_t> digest = sha512(bytes);
        unsigned long length = pkcs1v15.size();
        ASSERT_EQ(rsa_sign_hash_ex(digest.data(), digest.size(), pkcs1v15.data(), &length, LTC_PKCS_1_V1_5, &prng,
                                   find_prng("sprng"), find_hash("sha512"), 0, &testlab.key),
                  CRYPT_OK);
    }
    std::vector<uint8_t> cut(good.begin(), good.end() - 1);
    std::vector<uint8_t> withNul = good;
    withNul.push_back(0);
    std::vector<uint8_t> flipped = good;
    flipped[17] ^= 0x40;

    struct Case {
        const char *what;
        std::vector<uint8_t> payload;
    };
    const Case cases[] = {
        {"a key not in the table", signBytes(stranger, bytes)},
        {"PKCS #1 v1.5 over the same bytes", pkcs1v15},
        {"PSS over SHA-512 of the challenge", signBytes(testlab, sha512(bytes))},
        {"255 bytes", cut},
        {"257 bytes", withNul},
        {"one bit flipped", flipped},
        {"no payload", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        logRingFree();
        ASSERT_TRUE(logRingStart(1, LOG_RING_MAX_CAPACITY));
        EXPECT_EQ(answer(c.payload), "NAK: Authorization failed");
        EXPECT_EQ(getClientAuthLevel(), 1);
        EXPECT_TRUE(logged("4", "checkChallenge", "Peer failed responding to challenge, terminating!\n"));
    }

    // A payload-less request whose length claims bytes is not read either.
    Command lying{MCH_CHAP, 9, 256, nullptr};
    CommandPtr reply(checkChallenge(&lying, -1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(text(reply.get()), "NAK: Authorization failed");

    // The challenge is still good for a correct answer.
    EXPECT_EQ(answer(good), "ACK");
    EXPECT_EQ(getClientAuthLevel(), 5);
}

TEST_F(AuthTest, AnAnswerCountsWithinTenSecondsOnTheMonotonicClock)
{
    SigningKey testlab;
    if (!loadRole(1, &testlab))
        GTEST_SKIP() << "no private keys beside the embedded public keys";

    // 10,001 ms late: refused, with its own log line.
    std::vector<uint8_t> bytes = challenge();
    std::vector<uint8_t> signature = signBytes(testlab, bytes);
    fakeNowMs += 10001;
    EXPECT_EQ(answer(signature), "NAK: Authorization failed");
    EXPECT_EQ(getClientAuthLevel(), 0);
    EXPECT_TRUE(logged("4", "checkChallenge", "Peer failed responding in time, terminating!\n"));
    EXPECT_FALSE(logged("4", "checkChallenge", "Peer failed responding to challenge, terminating!\n"));

    // Exactly 10,000 ms: still in time.
    bytes = challenge();
    signature = signBytes(testlab, bytes);
    fakeNowMs += 10000;
    EXPECT_EQ(answer(signature), "ACK");
    EXPECT_EQ(getClientAuthLevel(), 5);

    // A count passing 2^31 ms (where a 32-bit millisecond count would wrap)
    // is an ordinary second on this clock.
    resetClientAuthLevel();
    fakeNowMs = 2147483000;
    bytes = challenge();
    signature = signBytes(testlab, bytes);
    fakeNowMs = 2147484000;
    EXPECT_EQ(answer(signature), "ACK");
    EXPECT_EQ(getClientAuthLevel(), 5);

    // A clock that ran backwards cannot make an answer young.
    resetClientAuthLevel();
    bytes = challenge();
    signature = signBytes(testlab, bytes);
    fakeNowMs -= 1;
    EXPECT_EQ(answer(signature), "NAK: Authorization failed");
    EXPECT_EQ(getClientAuthLevel(), 0);
}

TEST_F(AuthTest, ARetryWithinTheWindowAfterARefusalSucceeds)
{
    SigningKey developer;
    if (!loadRole(2, &developer))
        GTEST_SKIP() << "no private keys beside the embedded public keys";
    std::vector<uint8_t> bytes = challenge();
    std::vector<uint8_t> signature = signBytes(developer, bytes);
    std::vector<uint8_t> wrong = signature;
    wrong[0] ^= 1;
    fakeNowMs += 4000;
    EXPECT_EQ(answer(wrong, 1), "NAK: Authorization failed");
    EXPECT_EQ(getClientAuthLevel(), 0);
    fakeNowMs += 4000;
    EXPECT_EQ(answer(signature, 2), "ACK");
    EXPECT_EQ(getClientAuthLevel(), 5);
}

TEST_F(AuthTest, OnlyThePendingChallengeCounts)
{
    SigningKey testlab;
    if (!loadRole(1, &testlab))
        GTEST_SKIP() << "no private keys beside the embedded public keys";
    std::vector<uint8_t> first = challenge();
    std::vector<uint8_t> second;
    {
        // The random source stays the real one under a simulated root.
        ScopedEnv root("MIF_ROOT", "/nonexistent-mif-root");
        second = challenge();
    }
    ASSERT_EQ(second.size(), size_t(CHALLENGE_SIZE));
    EXPECT_NE(first, second);
    // An answer to the challenge before is refused; the new one holds.
    EXPECT_EQ(answer(signBytes(testlab, first)), "NAK: Authorization failed");
    EXPECT_EQ(answer(signBytes(testlab, second)), "ACK");
    EXPECT_EQ(getClientAuthLevel(), 5);
    // A new session starts at level 0.
    resetClientAuthLevel();
    EXPECT_EQ(getClientAuthLevel(), 0);
}

}  // namespace
