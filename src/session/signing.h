// The client's side of the challenge: loading a role's private key and
// signing the daemon's challenge with it. Shared by mifctl and the tests.
//
// The daemon sends 256 random bytes; the client answers with an RSASSA-PSS
// signature (SHA-512 as the hash and as the MGF1 hash, 16 salt bytes) in
// which the challenge bytes themselves stand where the message hash would
// be. They are not hashed first: the daemon forms M' from the 256 bytes as
// they came, and a signature over their SHA-512 does not verify.
//
// Every function returns CRYPT_OK or a libtomcrypt error code; the text for
// it comes from error_to_string.
#pragma once

#include <cstddef>
#include <cstdint>

#include <tomcrypt.h>

enum { SIGNING_SALT_LENGTH = 16, SIGNING_MAX_PEM_SIZE = 65536 };

// One loaded private key; frees it when it goes.
struct SigningKey {
    rsa_key key{};
    bool loaded = false;

    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey &) = delete;
    SigningKey &operator=(const SigningKey &) = delete;
};

// Makes libtomcrypt ready to load and sign: installs TomsFastMath as the
// math provider unless one is installed already, and registers SHA-512 and
// the system random source (for the salt). Safe to call more than once.
int signingSetup();

// Loads a private key from PEM text: "PRIVATE KEY" (PKCS#8, unencrypted,
// the form of the role keys) or "RSA PRIVATE KEY" (PKCS#1). Encrypted keys
// and public keys are refused with CRYPT_PK_INVALID_TYPE, malformed text
// with CRYPT_INVALID_PACKET. A key already in `key` is freed first. The
// numbers belong to the math provider installed now: sign with the same one.
int loadSigningKeyPem(SigningKey *key, const char *pem, size_t length);

// The same from a file (at most SIGNING_MAX_PEM_SIZE bytes);
// CRYPT_FILE_NOTFOUND when it cannot be read.
int loadSigningKeyFile(SigningKey *key, const char *path);

// Signs `length` challenge bytes. `signature` has room for
// *signatureLength bytes (the modulus size, 256 for the role keys, is
// enough); on success *signatureLength is the signature's length.
int signChallenge(const SigningKey *key, const uint8_t *challenge, uint32_t length, uint8_t *signature,
                  uint32_t *signatureLength);
