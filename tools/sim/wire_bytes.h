// Fixed-width fields in message payloads, in the host's byte order (the
// order every process of the appliance uses), at explicit offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;

template <typename T> inline void putField(Bytes &bytes, size_t offset, T value)
{
    if (bytes.size() < offset + sizeof value)
        bytes.resize(offset + sizeof value);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A field of a received payload; 0 when the payload is too short for it.
template <typename T> inline T getField(const uint8_t *payload, int length, size_t offset)
{
    T value{};
    if (payload && length >= 0 && offset + sizeof value <= size_t(length))
        std::memcpy(&value, payload + offset, sizeof value);
    return value;
}
