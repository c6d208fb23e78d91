// The display and the loudspeaker of the simulated appliance.
//
// /dev/fb is a file of one frame: 480x272 pixels, rows from top to bottom,
// 4 bytes per pixel in the order blue, green, red and an unused byte,
// 522,240 bytes. /dev/dsp is a file that collects what was played: raw
// PCM, 48 kHz mono, signed 16-bit little-endian samples.
#pragma once

#include <string>

enum {
    FB_WIDTH = 480,
    FB_HEIGHT = 272,
    FB_BYTES_PER_PIXEL = 4,
    FB_FRAME_SIZE = FB_WIDTH * FB_HEIGHT * FB_BYTES_PER_PIXEL,   // 522,240
    DSP_RATE_HZ = 48000,
};

#define FB_DEVICE "/dev/fb"
#define DSP_DEVICE "/dev/dsp"
#define CONSOLE_DEVICE "/dev/tty0"

// Creates /dev/fb (a black frame), /dev/dsp and /dev/tty0 (empty) under
// MIF_ROOT, keeping files that exist.
bool createOutputDevices(std::string *error);

// Renders a frame file (host path) as a PNG of 480x272 RGB pixels. A file
// shorter than a frame leaves the rest black.
bool renderFrameToPng(const std::string &framePath, const std::string &pngPath, std::string *error);

// A test picture for the display: eight colour bars over a grey ramp, as a
// PNG of the display's size.
bool writeTestPattern(const std::string &pngPath, std::string *error);

// Wraps raw PCM (host path) in a WAV header: 48 kHz, mono, 16-bit.
bool convertPcmToWav(const std::string &pcmPath, const std::string &wavPath, std::string *error);
