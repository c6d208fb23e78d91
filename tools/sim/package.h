// Signed data packages: the signature is RSA-PSS (SHA-512 as the hash and
// as the mask hash, 16 salt bytes) over the SHA-512 digest of the whole
// package file, 256 bytes for a 2048-bit key, kept next to the package as
// PACKAGE.sig. `mif-sim sign-package` makes it with a private key;
// `checkpak` checks it with the public key built into it, as the
// appliance's package checker does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum { PACKAGE_DIGEST_SIZE = 64, PACKAGE_SALT_LENGTH = 16, PACKAGE_MAX_SIGNATURE = 512 };

// Signs the package with the private key (PEM) and writes the signature
// file. False with *error set on failure.
bool signPackage(const std::string &packagePath, const std::string &keyPemPath, const std::string &signaturePath,
                 std::string *error);

enum PackageCheck { PACKAGE_VALID = 0, PACKAGE_INVALID = 1, PACKAGE_CHECK_FAILED = 2 };

// Checks the signature file against the package with a DER public key
// (SubjectPublicKeyInfo). PACKAGE_INVALID when the signature does not
// match; PACKAGE_CHECK_FAILED, with *error set, when a file or the key
// cannot be read.
PackageCheck checkPackage(const std::string &packagePath, const std::string &signaturePath, const uint8_t *publicKeyDer,
                          size_t publicKeyLength, std::string *error);
