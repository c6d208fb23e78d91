// What the authentication tests share: the role key files, SHA-512 and a
// signing call.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <tomcrypt.h>

#include "session/signing.h"

// The seven roles, in the order of the daemon's role table.
inline const char *const kRoleFiles[7] = {"service",           "testlab",
                                          "developer",         "talven-developer",
                                          "holmir-production", "kestravel-production",
                                          "dunra-production"};

// The whole file, or nothing when it cannot be read.
inline std::vector<uint8_t> readKeyFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string keyPath(const char *dir, int role, const char *suffix)
{
    return std::string(dir) + "/" + kRoleFiles[role] + suffix;
}

// SHA-512 of the bytes; empty when hashing fails.
inline std::vector<uint8_t> sha512(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> out(64);
    unsigned long length = out.size();
    if (hash_memory(find_hash("sha512"), data.data(), data.size(), out.data(), &length) != CRYPT_OK)
        return {};
    return out;
}

// signChallenge over the bytes; empty when signing fails.
inline std::vector<uint8_t> signBytes(const SigningKey &key, const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> signature(512);
    uint32_t length = static_cast<uint32_t>(signature.size());
    if (signChallenge(&key, bytes.data(), static_cast<uint32_t>(bytes.size()), signature.data(), &length) !=
        CRYPT_OK)
        return {};
    signature.resize(length);
    return signature;
}
