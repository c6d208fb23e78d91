// The role key files the authentication tests sign and verify with.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
