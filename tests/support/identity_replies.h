// The bytes a machine's identity is read from, built the way the appliance
// holds them, for tests of the serial commands in the daemon and the client.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "support/mcl_peer.h"

// The 16 bytes of the OTP identity file: value A then value B, little-endian.
inline std::string otpBytes(uint64_t valueA, uint64_t valueB)
{
    std::string bytes;
    for (uint64_t value : {valueA, valueB})
        for (int i = 0; i < 8; i++)
            bytes.push_back(char(value >> (8 * i)));
    return bytes;
}

// Machine control's answer to the version request: the flag byte, three
// more bytes, then the version words of its software, its second software
// and the hardware (and five unused ones).
inline Bytes versionReply(uint32_t swmc, uint32_t swpc, uint32_t behw)
{
    Bytes reply(36, 0);
    reply[0] = 1;
    uint32_t words[3] = {swmc, swpc, behw};
    memcpy(reply.data() + 4, words, sizeof words);
    return reply;
}

// Its answer to the backend serial request: the flag byte, and the text
// (at most 32 bytes, not necessarily ended) from byte 12 on.
inline Bytes backendSerialReply(const std::string &text)
{
    Bytes reply(12 + 32, 0);
    reply[0] = 1;
    memcpy(reply.data() + 12, text.data(), text.size() < 32 ? text.size() : 32);
    return reply;
}
