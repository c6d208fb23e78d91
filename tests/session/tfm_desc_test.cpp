// The TomsFastMath descriptor against libtommath's (ltm_desc), which ships
// inside libtomcrypt and serves as the oracle: the same numbers, key
// imports, signatures and verifications must come out of both.
#include "session/tfm_desc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session/auth_fixtures.h"
#include "session/signing.h"

extern "C" const ltc_math_descriptor ltm_desc;

namespace {

// Installs a math provider for one scope.
class Provider {
public:
    explicit Provider(const ltc_math_descriptor &descriptor) : saved_(ltc_mp) { ltc_mp = descriptor; }
    ~Provider() { ltc_mp = saved_; }
    Provider(const Provider &) = delete;
    Provider &operator=(const Provider &) = delete;

private:
    ltc_math_descriptor saved_;
};

// An RSA key that frees itself under the provider it was made with.
struct Key {
    rsa_key key{};
    const ltc_math_descriptor *provider = nullptr;
    ~Key()
    {
        if (provider) {
            Provider scope(*provider);
            rsa_free(&key);
        }
    }
};

std::vector<uint8_t> bytesOf(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool importPublic(const ltc_math_descriptor &provider, const std::vector<uint8_t> &der, Key *out)
{
    Provider scope(provider);
    if (rsa_import(der.data(), der.size(), &out->key) != CRYPT_OK)
        return false;
    out->provider = &provider;
    return true;
}

bool importPrivate(const ltc_math_descriptor &provider, int role, SigningKey *out)
{
    Provider scope(provider);
    std::vector<uint8_t> pem = readKeyFile(keyPath(MIF_TEST_KEY_DIR, role, ".pem"));
    return loadSigningKeyPem(out, reinterpret_cast<const char *>(pem.data()), pem.size()) == CRYPT_OK;
}

// A SigningKey frees its numbers with the provider installed when it goes;
// keys loaded under the oracle are released under it here.
void release(const ltc_math_descriptor &provider, SigningKey *key)
{
    Provider scope(provider);
    if (key->loaded)
        rsa_free(&key->key);
    key->loaded = false;
}

std::vector<uint8_t> exportKey(const ltc_math_descriptor &provider, rsa_key *key, int type)
{
    Provider scope(provider);
    std::vector<uint8_t> out(4096);
    unsigned long length = out.size();
    if (rsa_export(out.data(), &length, type, key) != CRYPT_OK)
        return {};
    out.resize(length);
    return out;
}

// PSS verification of `hash` (any length, as the daemon passes the raw
// challenge) with salt 16 and SHA-512; the status, or -1 when the call fails.
int verifyPss(const ltc_math_descriptor &provider, rsa_key *key, const std::vector<uint8_t> &signature,
              const std::vector<uint8_t> &hash)
{
    Provider scope(provider);
    int status = 0;
    int err = rsa_verify_hash_ex(signature.data(), signature.size(), hash.data(), hash.size(), LTC_PKCS_1_PSS,
                                 find_hash("sha512"), SIGNING_SALT_LENGTH, &status, key);
    return err == CRYPT_OK ? status : -1;
}

std::vector<uint8_t> signWith(const ltc_math_descriptor &provider, rsa_key *key, int padding,
                              const std::vector<uint8_t> &hash)
{
    Provider scope(provider);
    prng_state prng;
    sprng_start(&prng);
    std::vector<uint8_t> out(512);
    unsigned long length = out.size();
    int err = rsa_sign_hash_ex(hash.data(), hash.size(), out.data(), &length, padding, &prng, find_prng("sprng"),
                               find_hash("sha512"), SIGNING_SALT_LENGTH, key);
    if (err != CRYPT_OK)
        return {};
    out.resize(length);
    return out;
}

std::vector<uint8_t> randomBytes(std::mt19937_64 &random, size_t length)
{
    std::vector<uint8_t> out(length);
    for (auto &byte : out)
        byte = static_cast<uint8_t>(random());
    return out;
}

class TfmDescTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(signingSetup(), CRYPT_OK); }
};

// ---- Keys, signatures and verification ---------------------------------

TEST_F(TfmDescTest, EveryRoleKeyImportsSignsAndVerifiesAsUnderTheOracle)
{
    std::mt19937_64 random(7);
    for (int role = 0; role < 7; ++role) {
        SCOPED_TRACE(kRoleFiles[role]);
        std::vector<uint8_t> der = readKeyFile(keyPath(MIF_TEST_KEY_DIR, role, ".der"));
        ASSERT_EQ(der.size(), 294u);
        Key tfmPublic, ltmPublic;
        ASSERT_TRUE(importPublic(tfm_desc, der, &tfmPublic));
        ASSERT_TRUE(importPublic(ltm_desc, der, &ltmPublic));
        EXPECT_EQ(exportKey(tfm_desc, &tfmPublic.key, PK_PUBLIC | PK_STD), der);

        SigningKey tfmPrivate, ltmPrivate;
        ASSERT_TRUE(importPrivate(tfm_desc, role, &tfmPrivate));
        ASSERT_TRUE(importPrivate(ltm_desc, role, &ltmPrivate));
        std::vector<uint8_t> tfmExport = exportKey(tfm_desc, &tfmPrivate.key, PK_PRIVATE);
        ASSERT_FALSE(tfmExport.empty());
        EXPECT_EQ(tfmExport, exportKey(ltm_desc, &ltmPrivate.key, PK_PRIVATE));
        // The private key's public half is the .der file.
        EXPECT_EQ(exportKey(tfm_desc, &tfmPrivate.key, PK_PUBLIC | PK_STD), der);

        // PSS over raw challenge bytes, signed by either, verified by both.
        std::vector<uint8_t> challenge = randomBytes(random, 256);
        std::vector<uint8_t> byOracle = signWith(ltm_desc, &ltmPrivate.key, LTC_PKCS_1_PSS, challenge);
        std::vector<uint8_t> byTfm = signWith(tfm_desc, &tfmPrivate.key, LTC_PKCS_1_PSS, challenge);
        ASSERT_EQ(byOracle.size(), 256u);
        ASSERT_EQ(byTfm.size(), 256u);
        for (const auto *signature : {&byOracle, &byTfm}) {
            EXPECT_EQ(verifyPss(tfm_desc, &tfmPublic.key, *signature, challenge), 1);
            EXPECT_EQ(verifyPss(ltm_desc, &ltmPublic.key, *signature, challenge), 1);
        }

        // One flipped bit in the signature or in the challenge: refused by
        // both, in the same way.
        std::vector<uint8_t> badSignature = byTfm;
        badSignature[100] ^= 0x10;
        EXPECT_EQ(verifyPss(tfm_desc, &tfmPublic.key, badSignature, challenge),
                  verifyPss(ltm_desc, &ltmPublic.key, badSignature, challenge));
        EXPECT_NE(verifyPss(tfm_desc, &tfmPublic.key, badSignature, challenge), 1);
        std::vector<uint8_t> otherChallenge = challenge;
        otherChallenge[0] ^= 1;
        EXPECT_EQ(verifyPss(tfm_desc, &tfmPublic.key, byTfm, otherChallenge), 0);
        EXPECT_EQ(verifyPss(ltm_desc, &ltmPublic.key, byTfm, otherChallenge), 0);

        release(ltm_desc, &ltmPrivate);
        release(tfm_desc, &tfmPrivate);
    }
}

// PKCS #1 v1.5 signatures have no salt: the private-key arithmetic (CRT,
// blinding, the hardening check) of both providers must give the same bytes.
TEST_F(TfmDescTest, DeterministicSignaturesAreByteForByteTheOracles)
{
    std::mt19937_64 random(11);
    for (int role : {0, 1, 6}) {
        SCOPED_TRACE(kRoleFiles[role]);
        SigningKey tfmPrivate, ltmPrivate;
        ASSERT_TRUE(importPrivate(tfm_desc, role, &tfmPrivate));
        ASSERT_TRUE(importPrivate(ltm_desc, role, &ltmPrivate));
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t> digest = randomBytes(random, 64);
            std::vector<uint8_t> byTfm = signWith(tfm_desc, &tfmPrivate.key, LTC_PKCS_1_V1_5, digest);
            ASSERT_EQ(byTfm.size(), 256u);
            EXPECT_EQ(byTfm, signWith(ltm_desc, &ltmPrivate.key, LTC_PKCS_1_V1_5, digest));
        }
        release(ltm_desc, &ltmPrivate);
        release(tfm_desc, &tfmPrivate);
    }
}

TEST_F(TfmDescTest, KeysGeneratedOverTfmWorkUnderTheOracle)
{
    Key generated;
    {
        Provider scope(tfm_desc);
        prng_state prng;
        sprng_start(&prng);
        ASSERT_EQ(rsa_make_key(&prng, find_prng("sprng"), 1024 / 8, 65537, &generated.key), CRYPT_OK);
        generated.provider = &tfm_desc;
    }
    std::vector<uint8_t> publicDer = exportKey(tfm_desc, &generated.key, PK_PUBLIC | PK_STD);
    ASSERT_FALSE(publicDer.empty());
    Key oracle;
    ASSERT_TRUE(importPublic(ltm_desc, publicDer, &oracle));

    std::vector<uint8_t> message = bytesOf("a 1024-bit key made by the TomsFastMath provider");
    std::vector<uint8_t> signature = signWith(tfm_desc, &generated.key, LTC_PKCS_1_PSS, message);
    ASSERT_EQ(signature.size(), 128u);
    EXPECT_EQ(verifyPss(ltm_desc, &oracle.key, signature, message), 1);
}

// ---- The integer operations, one by one --------------------------------

// A number under one provider, freed with it.
class Number {
public:
    explicit Number(const ltc_math_descriptor &provider) : provider_(provider)
    {
        EXPECT_EQ(provider_.init(&value_), CRYPT_OK);
    }
    ~Number() { provider_.deinit(value_); }
    Number(const Number &) = delete;
    Number &operator=(const Number &) = delete;

    void *get() const { return value_; }
    std::string hex() const
    {
        std::vector<char> text(4096);
        if (provider_.write_radix(value_, text.data(), 16) != CRYPT_OK)
            return "<error>";
        return text.data();
    }
    void set(const std::vector<uint8_t> &bytes, bool negative)
    {
        ASSERT_EQ(provider_.unsigned_read(value_, const_cast<uint8_t *>(bytes.data()), bytes.size()), CRYPT_OK);
        if (negative) {
            ASSERT_EQ(provider_.neg(value_, value_), CRYPT_OK);
        }
    }

private:
    const ltc_math_descriptor &provider_;
    void *value_ = nullptr;
};

// The operands of one round and the results each operation gives, as text.
struct Operands {
    std::vector<uint8_t> a, b, modulus;  // modulus odd
    bool negativeA;
    ltc_mp_digit digit;
};

std::vector<std::string> results(const ltc_math_descriptor &d, const Operands &in)
{
    Number a(d), b(d), m(d), r(d), s(d);
    a.set(in.a, in.negativeA);
    b.set(in.b, false);
    m.set(in.modulus, false);
    std::vector<std::string> out;
    auto record = [&](const char *name, int err, const Number &value) {
        out.push_back(std::string(name) + (err == CRYPT_OK ? " = " + value.hex() : " failed"));
    };
    record("add", d.add(a.get(), b.get(), r.get()), r);
    record("sub", d.sub(b.get(), a.get(), r.get()), r);
    record("mul", d.mul(a.get(), b.get(), r.get()), r);
    record("sqr", d.sqr(a.get(), r.get()), r);
    record("addi", d.addi(a.get(), in.digit, r.get()), r);
    record("subi", d.subi(b.get(), in.digit, r.get()), r);
    record("muli", d.muli(a.get(), in.digit, r.get()), r);
    int err = d.mpdiv(a.get(), b.get(), r.get(), s.get());
    record("div quotient", err, r);
    record("div remainder", err, s);
    record("mod", d.mpdiv(a.get(), m.get(), nullptr, r.get()), r);
    record("div_2", d.div_2(b.get(), r.get()), r);
    ltc_mp_digit rest = 0;
    err = d.modi(b.get(), in.digit, &rest);
    out.push_back("modi " + std::to_string(err) + " " + std::to_string(rest));
    record("gcd", d.gcd(b.get(), m.get(), r.get()), r);
    record("lcm", d.lcm(b.get(), m.get(), r.get()), r);
    record("mulmod", d.mulmod(a.get(), b.get(), m.get(), r.get()), r);
    record("sqrmod", d.sqrmod(b.get(), m.get(), r.get()), r);
    record("invmod", d.invmod(b.get(), m.get(), r.get()), r);
    record("addmod", d.addmod(a.get(), b.get(), m.get(), r.get()), r);
    record("submod", d.submod(b.get(), a.get(), m.get(), r.get()), r);
    record("exptmod", d.exptmod(b.get(), a.get(), m.get(), r.get()), r);
    out.push_back("compare " + std::to_string(d.compare(a.get(), b.get())) + " " +
                  std::to_string(d.compare(b.get(), b.get())));
    out.push_back("compare_d " + std::to_string(d.compare_d(b.get(), in.digit)));
    out.push_back("bits " + std::to_string(d.count_bits(b.get())) + " lsb " +
                  std::to_string(d.count_lsb_bits(b.get())) + " size " + std::to_string(d.unsigned_size(b.get())));
    std::vector<uint8_t> written(d.unsigned_size(b.get()));
    d.unsigned_write(b.get(), written.data());
    out.push_back(written == in.b ? "unsigned_write ok" : "unsigned_write differs");
    record("copy", d.copy(b.get(), r.get()), r);
    record("twoexpt", d.twoexpt(r.get(), static_cast<int>(in.digit % 2000)), r);
    return out;
}

TEST_F(TfmDescTest, IntegerOperationsAgreeWithTheOracle)
{
    std::mt19937_64 random(2024);
    for (int round = 0; round < 40; ++round) {
        Operands in;
        in.a = randomBytes(random, 1 + random() % 190);
        in.b = randomBytes(random, 1 + random() % 128);
        in.modulus = randomBytes(random, 16 + random() % 112);
        // No leading zero bytes (so that unsigned_write gives the same
        // bytes back); an odd modulus (Montgomery arithmetic needs one).
        in.a[0] |= 1;
        in.b[0] |= 0x80;
        in.modulus[0] |= 1;
        in.modulus.back() |= 1;
        in.negativeA = round % 3 == 0;
        // A digit both providers can take (libtommath's are 60 bits).
        int digitBits = std::min(tfm_desc.bits_per_digit, ltm_desc.bits_per_digit);
        ltc_mp_digit digitMask = (ltc_mp_digit(1) << (digitBits - 1) << 1) - 1;
        in.digit = random() % 2 ? 1 + random() % 1000 : static_cast<ltc_mp_digit>(random()) & digitMask;
        if (round == 0)
            in.digit = 0;  // modi and friends by zero fail on both sides
        SCOPED_TRACE(round);
        EXPECT_EQ(results(tfm_desc, in), results(ltm_desc, in));
    }
}

TEST_F(TfmDescTest, RadixTextsReadAndWriteAsUnderTheOracle)
{
    const char *texts[] = {"0", "-1", "123456789012345678901234567890", "-98765432109876543210"};
    for (int radix : {10, 16, 2, 64}) {
        for (const char *text : texts) {
            SCOPED_TRACE(std::string(text) + " radix " + std::to_string(radix));
            Number viaTfm(tfm_desc), viaLtm(ltm_desc);
            ASSERT_EQ(tfm_desc.read_radix(viaTfm.get(), text, 10), CRYPT_OK);
            ASSERT_EQ(ltm_desc.read_radix(viaLtm.get(), text, 10), CRYPT_OK);
            std::vector<char> tfmText(4096), ltmText(4096);
            ASSERT_EQ(tfm_desc.write_radix(viaTfm.get(), tfmText.data(), radix), CRYPT_OK);
            ASSERT_EQ(ltm_desc.write_radix(viaLtm.get(), ltmText.data(), radix), CRYPT_OK);
            EXPECT_STREQ(tfmText.data(), ltmText.data());
            Number back(tfm_desc);
            ASSERT_EQ(tfm_desc.read_radix(back.get(), tfmText.data(), radix), CRYPT_OK);
            EXPECT_EQ(tfm_desc.compare(back.get(), viaTfm.get()), LTC_MP_EQ);
        }
    }
}

TEST_F(TfmDescTest, PrimalityAgreesWithTheOracleWhereTfmAloneErrs)
{
    struct Case {
        const char *decimal;
        bool prime;
    };
    const Case cases[] = {
        {"0", false},
        {"1", false},  // libtfm's own test calls 1 prime
        {"2", true},   // and 2 composite
        {"3", true},
        {"561", false},  // Carmichael
        {"1619", true},
        {"2621161", false},  // 1619^2, beyond libtfm's trial division
        {"1000003", true},
        {"4194301", true},  // the largest 22-bit prime
        {"4194319", true},  // the smallest 23-bit one
        {"341550071728321", false},      // strong pseudoprime to the bases 2 to 17
        {"3825123056546413051", false},  // ... to the bases 2 to 23
        {"170141183460469231731687303715884105727", true},  // 2^127 - 1
        {"170141183460469231731687303715884105729", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.decimal);
        Number viaTfm(tfm_desc), viaLtm(ltm_desc);
        ASSERT_EQ(tfm_desc.read_radix(viaTfm.get(), c.decimal, 10), CRYPT_OK);
        ASSERT_EQ(ltm_desc.read_radix(viaLtm.get(), c.decimal, 10), CRYPT_OK);
        int tfmResult = -1, ltmResult = -1;
        ASSERT_EQ(tfm_desc.isprime(viaTfm.get(), LTC_MILLER_RABIN_REPS, &tfmResult), CRYPT_OK);
        ASSERT_EQ(ltm_desc.isprime(viaLtm.get(), LTC_MILLER_RABIN_REPS, &ltmResult), CRYPT_OK);
        EXPECT_EQ(ltmResult == LTC_MP_YES, c.prime);
        EXPECT_EQ(tfmResult, ltmResult);
    }
}

// ---- Where the descriptor must fail cleanly ----------------------------

TEST_F(TfmDescTest, EllipticCurveOperationsFailWithAnError)
{
    Provider scope(tfm_desc);
    prng_state prng;
    sprng_start(&prng);
    ecc_key key;
    EXPECT_NE(ecc_make_key(&prng, find_prng("sprng"), 32, &key), CRYPT_OK);
}

#if !MIF_HAVE_LTC_TFM_DESC
TEST_F(TfmDescTest, NumbersBeyondHalfTheCapacityAreRefused)
{
    Number n(tfm_desc);
    std::vector<uint8_t> big(4096 / 8 + 64, 0xA5);
    EXPECT_EQ(tfm_desc.unsigned_read(n.get(), big.data(), big.size()), CRYPT_INVALID_ARG);
    // Leading zeros do not count.
    std::vector<uint8_t> padded(2000, 0);
    padded.back() = 7;
    ASSERT_EQ(tfm_desc.unsigned_read(n.get(), padded.data(), padded.size()), CRYPT_OK);
    EXPECT_EQ(tfm_desc.get_int(n.get()), 7u);
    EXPECT_EQ(tfm_desc.twoexpt(n.get(), 100000), CRYPT_INVALID_ARG);
    EXPECT_EQ(tfm_desc.read_radix(n.get(), std::string(2000, '7').c_str(), 10), CRYPT_INVALID_ARG);
    EXPECT_EQ(tfm_desc.rand(n.get(), 10000), CRYPT_INVALID_ARG);

    // An 8192-bit public key cannot be held: its import fails instead of
    // cutting the modulus.
    Key huge;
    {
        Provider scope(ltm_desc);
        rsa_key key;
        // Built by hand, not generated: N = 2^8191 + 1, e = 65537.
        std::vector<uint8_t> modulus(1024, 0);
        modulus[0] = 0x80;
        modulus.back() = 1;
        const uint8_t e[] = {1, 0, 1};
        ASSERT_EQ(rsa_set_key(modulus.data(), modulus.size(), e, sizeof e, nullptr, 0, &key), CRYPT_OK);
        huge.key = key;
        huge.provider = &ltm_desc;
    }
    std::vector<uint8_t> der = exportKey(ltm_desc, &huge.key, PK_PUBLIC | PK_STD);
    ASSERT_GT(der.size(), 1024u);
    Provider scope(tfm_desc);
    rsa_key imported;
    EXPECT_NE(rsa_import(der.data(), der.size(), &imported), CRYPT_OK);
}
#endif

}  // namespace
