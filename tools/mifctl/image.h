// Pictures for the appliance's display.
//
// The framebuffer takes exactly one raw frame: 480x272 pixels, rows from
// top to bottom, 4 bytes per pixel in the order blue, green, red and an
// unused byte (set to 0xFF), 522,240 bytes in all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum {
    DISPLAY_WIDTH = 480,
    DISPLAY_HEIGHT = 272,
    DISPLAY_BYTES_PER_PIXEL = 4,
    DISPLAY_FRAME_SIZE = DISPLAY_WIDTH * DISPLAY_HEIGHT * DISPLAY_BYTES_PER_PIXEL,  // 522,240
};

// Whether the bytes begin with the PNG signature.
bool isPng(const uint8_t *data, size_t length);

// Converts a PNG held in memory to the raw frame. A picture of another size
// is refused unless `scale`: then it is fitted into the display keeping its
// proportions, on black. Transparent parts are shown on black. `name`
// names the picture in messages.
bool pngToFrame(const uint8_t *data, size_t length, bool scale, const std::string &name, std::vector<uint8_t> *frame,
                std::string *error);

// Reads a PNG or an exact raw frame from a file.
bool loadDisplayImage(const std::string &path, bool scale, std::vector<uint8_t> *frame, std::string *error);
