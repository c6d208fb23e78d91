// The client's signing library: key loading and the exact signature form
// the daemon checks.
#include "session/signing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session/auth_fixtures.h"
#include "session/tfm_desc.h"

namespace {

std::vector<uint8_t> randomChallenge(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> out(256);
    for (auto &byte : out)
        byte = static_cast<uint8_t>(random());
    return out;
}

std::string pemOf(const char *label, const std::vector<uint8_t> &der)
{
    std::vector<unsigned char> text(der.size() * 2 + 16);
    unsigned long length = text.size();
    EXPECT_EQ(base64_encode(der.data(), der.size(), text.data(), &length), CRYPT_OK);
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (unsigned long at = 0; at < length; at += 64)
        pem.append(reinterpret_cast<const char *>(text.data()) + at, std::min(64ul, length - at)).append("\n");
    return pem + "-----END " + label + "-----\n";
}

int loadPem(SigningKey *key, const std::string &pem)
{
    return loadSigningKeyPem(key, pem.data(), pem.size());
}

// EMSA-PSS verification (PKCS #1 v2.1, 9.1.2) written out step by step
// over the raw RSA public operation, independent of libtomcrypt's PSS
// code: SHA-512 and MGF1-SHA-512, the given salt length, and the challenge
// bytes as mHash. Returns whether the signature is well formed and
// matches.
bool pssMatches(const std::vector<uint8_t> &publicDer, const std::vector<uint8_t> &signature,
                const std::vector<uint8_t> &challenge, size_t saltLength)
{
    rsa_key key;
    if (rsa_import(publicDer.data(), publicDer.size(), &key) != CRYPT_OK)
        return false;
    std::vector<uint8_t> em(256);
    unsigned long emLength = em.size();
    int err = rsa_exptmod(signature.data(), signature.size(), em.data(), &emLength, PK_PUBLIC, &key);
    rsa_free(&key);
    // A 2048-bit modulus: emBits 2047, emLen 256, hLen 64.
    if (err != CRYPT_OK || emLength != 256 || em[255] != 0xbc)
        return false;
    const size_t dbLength = 256 - 64 - 1;
    std::vector<uint8_t> h(em.begin() + dbLength, em.begin() + dbLength + 64);

    std::vector<uint8_t> db(em.begin(), em.begin() + dbLength);
    for (uint32_t counter = 0, at = 0; at < dbLength; ++counter) {
        std::vector<uint8_t> seed = h;
        for (int shift = 24; shift >= 0; shift -= 8)
            seed.push_back(static_cast<uint8_t>(counter >> shift));
        for (uint8_t maskByte : sha512(seed)) {
            if (at < dbLength)
                db[at++] ^= maskByte;
        }
    }
    db[0] &= 0x7f;
    size_t padding = dbLength - saltLength - 1;
    for (size_t i = 0; i < padding; ++i)
        if (db[i] != 0)
            return false;
    if (db[padding] != 0x01)
        return false;

    std::vector<uint8_t> mPrime(8, 0);
    mPrime.insert(mPrime.end(), challenge.begin(), challenge.end());
    mPrime.insert(mPrime.end(), db.end() - saltLength, db.end());
    return sha512(mPrime) == h;
}

class SigningTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(signingSetup(), CRYPT_OK);
        ltc_mp = tfm_desc;
    }
};

TEST_F(SigningTest, EveryRoleKeySignsTheRawChallengeWithPssSha512AndSalt16)
{
    for (int role = 0; role < 7; ++role) {
        SCOPED_TRACE(kRoleFiles[role]);
        SigningKey key;
        ASSERT_EQ(loadSigningKeyFile(&key, keyPath(MIF_TEST_KEY_DIR, role, ".pem").c_str()), CRYPT_OK);
        EXPECT_EQ(key.key.type, PK_PRIVATE);
        std::vector<uint8_t> publicDer = readKeyFile(keyPath(MIF_TEST_KEY_DIR, role, ".der"));

        std::vector<uint8_t> challenge = randomChallenge(role);
        std::vector<uint8_t> first = signBytes(key, challenge);
        ASSERT_EQ(first.size(), 256u);
        EXPECT_TRUE(pssMatches(publicDer, first, challenge, 16));
        // The form is exact: not another salt length, not over the hash of
        // the challenge.
        EXPECT_FALSE(pssMatches(publicDer, first, challenge, 20));
        EXPECT_FALSE(pssMatches(publicDer, first, sha512(challenge), 16));

        // A fresh salt each time: two signatures differ, both hold.
        std::vector<uint8_t> second = signBytes(key, challenge);
        EXPECT_NE(first, second);
        EXPECT_TRUE(pssMatches(publicDer, second, challenge, 16));
    }
}

TEST_F(SigningTest, Pkcs1PrivateKeysLoadTooAndReloadingReplacesTheKey)
{
    SigningKey pkcs8;
    ASSERT_EQ(loadSigningKeyFile(&pkcs8, keyPath(MIF_TEST_KEY_DIR, 1, ".pem").c_str()), CRYPT_OK);
    std::vector<uint8_t> der(4096);
    unsigned long length = der.size();
    ASSERT_EQ(rsa_export(der.data(), &length, PK_PRIVATE, &pkcs8.key), CRYPT_OK);
    der.resize(length);

    SigningKey key;
    ASSERT_EQ(loadSigningKeyFile(&key, keyPath(MIF_TEST_KEY_DIR, 0, ".pem").c_str()), CRYPT_OK);
    ASSERT_EQ(loadPem(&key, pemOf("RSA PRIVATE KEY", der)), CRYPT_OK);
    std::vector<uint8_t> challenge = randomChallenge(42);
    std::vector<uint8_t> signature = signBytes(key, challenge);
    EXPECT_TRUE(pssMatches(readKeyFile(keyPath(MIF_TEST_KEY_DIR, 1, ".der")), signature, challenge, 16));
    EXPECT_FALSE(pssMatches(readKeyFile(keyPath(MIF_TEST_KEY_DIR, 0, ".der")), signature, challenge, 16));
}

TEST_F(SigningTest, WhatIsNotAnUnencryptedPrivateKeyIsRefused)
{
    std::vector<uint8_t> pem = readKeyFile(keyPath(MIF_TEST_KEY_DIR, 2, ".pem"));
    std::string good(pem.begin(), pem.end());
    std::vector<uint8_t> publicDer = readKeyFile(keyPath(MIF_TEST_KEY_DIR, 2, ".der"));

    SigningKey key;
    EXPECT_EQ(loadSigningKeyFile(&key, "/nonexistent/role.pem"), CRYPT_FILE_NOTFOUND);
    EXPECT_EQ(loadPem(&key, ""), CRYPT_INVALID_PACKET);
    EXPECT_EQ(loadPem(&key, pemOf("PUBLIC KEY", publicDer)), CRYPT_PK_INVALID_TYPE);
    EXPECT_EQ(loadPem(&key, pemOf("ENCRYPTED PRIVATE KEY", publicDer)), CRYPT_PK_INVALID_TYPE);
    // Cut before its end line; a character that is not base64; legacy
    // encryption headers.
    EXPECT_EQ(loadPem(&key, good.substr(0, good.size() / 2)), CRYPT_INVALID_PACKET);
    std::string corrupt = good;
    corrupt[good.find('\n') + 10] = '*';
    EXPECT_EQ(loadPem(&key, corrupt), CRYPT_INVALID_PACKET);
    std::string headers = good;
    headers.insert(good.find('\n') + 1, "Proc-Type: 4,ENCRYPTED\n\n");
    EXPECT_EQ(loadPem(&key, headers), CRYPT_INVALID_PACKET);
    // Well-formed base64 around a public key instead of a private one.
    EXPECT_NE(loadPem(&key, pemOf("PRIVATE KEY", publicDer)), CRYPT_OK);
    EXPECT_NE(loadPem(&key, pemOf("RSA PRIVATE KEY", publicDer)), CRYPT_OK);
    EXPECT_FALSE(key.loaded);

    // Nothing loaded, nothing to sign.
    std::vector<uint8_t> challenge = randomChallenge(1);
    uint8_t signature[256];
    uint32_t length = sizeof signature;
    EXPECT_EQ(signChallenge(&key, challenge.data(), 256, signature, &length), CRYPT_INVALID_ARG);
}

TEST_F(SigningTest, SigningRefusesEmptyChallengesAndShortBuffers)
{
    SigningKey key;
    ASSERT_EQ(loadSigningKeyFile(&key, keyPath(MIF_TEST_KEY_DIR, 3, ".pem").c_str()), CRYPT_OK);
    std::vector<uint8_t> challenge = randomChallenge(3);
    uint8_t signature[256];
    uint32_t length = sizeof signature;
    EXPECT_EQ(signChallenge(&key, challenge.data(), 0, signature, &length), CRYPT_INVALID_ARG);
    length = 255;
    EXPECT_EQ(signChallenge(&key, challenge.data(), 256, signature, &length), CRYPT_BUFFER_OVERFLOW);
}

}  // namespace
