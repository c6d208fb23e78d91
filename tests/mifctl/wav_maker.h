// Builds WAV files for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline void putLe(std::vector<uint8_t> &out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out.push_back(uint8_t(value >> (8 * i)));
}

struct WavShape {
    uint16_t format = 1;
    uint16_t channels = 1;
    uint32_t rate = 48000;
    uint16_t bits = 16;
    bool extensible = false;
    bool listChunk = false;        // an odd-sized chunk before the samples
    bool openDataSize = false;     // data size left as all ones
};

// The file, and the samples it carries.
inline std::vector<uint8_t> makeWav(const WavShape &shape, const std::vector<uint8_t> &samples)
{
    std::vector<uint8_t> body;
    body.insert(body.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    putLe(body, shape.extensible ? 40 : 16, 4);
    putLe(body, shape.extensible ? 0xFFFE : shape.format, 2);
    putLe(body, shape.channels, 2);
    putLe(body, shape.rate, 4);
    putLe(body, shape.rate * shape.channels * shape.bits / 8, 4);
    putLe(body, shape.channels * shape.bits / 8, 2);
    putLe(body, shape.bits, 2);
    if (shape.extensible) {
        putLe(body, 22, 2);
        putLe(body, shape.bits, 2);
        putLe(body, shape.channels == 1 ? 4 : 3, 4);
        putLe(body, shape.format, 2);  // the sub-format GUID's first two bytes
        body.insert(body.end(), 14, 0x10);
    }
    if (shape.listChunk) {
        body.insert(body.end(), {'L', 'I', 'S', 'T'});
        putLe(body, 3, 4);
        body.insert(body.end(), {'a', 'b', 'c', 0});  // three bytes and the pad byte
    }
    body.insert(body.end(), {'d', 'a', 't', 'a'});
    putLe(body, shape.openDataSize ? 0xFFFFFFFF : uint32_t(samples.size()), 4);
    body.insert(body.end(), samples.begin(), samples.end());

    std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
    putLe(file, uint32_t(body.size()), 4);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}
