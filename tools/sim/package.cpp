#include "package.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "file_guard.h"
#include "session/signing.h"

namespace {

// Frees an imported public key when it goes.
struct PublicKey {
    rsa_key key{};
    bool loaded = false;
    ~PublicKey()
    {
        if (loaded)
            rsa_free(&key);
    }
};

bool digestFile(const std::string &path, uint8_t digest[PACKAGE_DIGEST_SIZE], std::string *error)
{
    FileGuard in(fopen(path.c_str(), "rb"));
    if (!in.f) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    hash_state state;
    sha512_init(&state);
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in.f)) > 0)
        sha512_process(&state, buffer, static_cast<unsigned long>(got));
    if (ferror(in.f)) {
        *error = path + ": read error";
        return false;
    }
    sha512_done(&state, digest);
    return true;
}

bool setup(std::string *error)
{
    int rc = signingSetup();
    if (rc != CRYPT_OK)
        *error = std::string("libtomcrypt: ") + error_to_string(rc);
    return rc == CRYPT_OK;
}

}  // namespace

bool signPackage(const std::string &packagePath, const std::string &keyPemPath, const std::string &signaturePath,
                 std::string *error)
{
    if (!setup(error))
        return false;
    SigningKey key;
    int rc = loadSigningKeyFile(&key, keyPemPath.c_str());
    if (rc != CRYPT_OK) {
        *error = keyPemPath + ": " + error_to_string(rc);
        return false;
    }
    uint8_t digest[PACKAGE_DIGEST_SIZE];
    if (!digestFile(packagePath, digest, error))
        return false;
    // The digest stands where the message hash stands in PSS: signing it
    // as a "challenge" signs the package.
    uint8_t signature[PACKAGE_MAX_SIGNATURE];
    uint32_t length = sizeof signature;
    rc = signChallenge(&key, digest, sizeof digest, signature, &length);
    if (rc != CRYPT_OK) {
        *error = std::string("signing: ") + error_to_string(rc);
        return false;
    }
    FileGuard out(fopen(signaturePath.c_str(), "wb"));
    bool ok = out.f && fwrite(signature, 1, length, out.f) == length;
    ok = out.f && fclose(out.f) == 0 && ok;
    out.f = nullptr;
    if (!ok)
        *error = signaturePath + ": " + strerror(errno);
    return ok;
}

PackageCheck checkPackage(const std::string &packagePath, const std::string &signaturePath, const uint8_t *publicKeyDer,
                          size_t publicKeyLength, std::string *error)
{
    if (!setup(error))
        return PACKAGE_CHECK_FAILED;
    PublicKey key;
    int rc = rsa_import(publicKeyDer, static_cast<unsigned long>(publicKeyLength), &key.key);
    if (rc != CRYPT_OK) {
        *error = std::string("public key: ") + error_to_string(rc);
        return PACKAGE_CHECK_FAILED;
    }
    key.loaded = true;

    std::vector<uint8_t> signature(PACKAGE_MAX_SIGNATURE + 1);
    {
        FileGuard in(fopen(signaturePath.c_str(), "rb"));
        if (!in.f) {
            *error = signaturePath + ": " + strerror(errno);
            return PACKAGE_CHECK_FAILED;
        }
        signature.resize(fread(signature.data(), 1, signature.size(), in.f));
    }
    uint8_t digest[PACKAGE_DIGEST_SIZE];
    if (!digestFile(packagePath, digest, error))
        return PACKAGE_CHECK_FAILED;
    int valid = 0;
    rc = rsa_verify_hash_ex(signature.data(), static_cast<unsigned long>(signature.size()), digest, sizeof digest,
                            LTC_PKCS_1_PSS, find_hash("sha512"), PACKAGE_SALT_LENGTH, &valid, &key.key);
    // A signature of the wrong size or shape is as invalid as a wrong one.
    if (rc != CRYPT_OK) {
        *error = std::string("signature: ") + error_to_string(rc);
        return PACKAGE_INVALID;
    }
    if (!valid)
        *error = "the signature does not match the package";
    return valid ? PACKAGE_VALID : PACKAGE_INVALID;
}
