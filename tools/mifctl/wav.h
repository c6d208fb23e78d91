// Sounds for the appliance's audio output.
//
// The appliance plays raw PCM: 48,000 Hz, one channel, signed 16-bit
// little-endian samples, with no header. A WAV file in exactly that form is
// accepted and only its samples are sent; anything else is refused with a
// message that says what the file holds. A file without a RIFF header is
// taken to be raw PCM already.
#pragma once

#include <cstdint>
#include <string>

enum { SOUND_RATE = 48000, SOUND_CHANNELS = 1, SOUND_BITS = 16 };

// Where the samples lie in the file.
struct SoundSamples {
    uint64_t offset = 0;
    uint64_t size = 0;
    bool wav = false;  // false: the whole file is raw PCM
};

// Inspects the sound file at `path`.
bool locateSamples(const std::string &path, SoundSamples *samples, std::string *error);
