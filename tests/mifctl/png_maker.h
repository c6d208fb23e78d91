// Builds small PNG files in memory for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <png.h>
#include <vector>

// A PNG of `pixels` laid out in libpng's simplified `format` (e.g.
// PNG_FORMAT_RGB, PNG_FORMAT_RGBA, PNG_FORMAT_GRAY).
inline std::vector<uint8_t> makePng(int width, int height, uint32_t format, const std::vector<uint8_t> &pixels)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(width);
    image.height = uint32_t(height);
    image.format = format;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr))
        return {};
    std::vector<uint8_t> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data(), 0, nullptr))
        return {};
    png.resize(size);
    return png;
}

// An RGB picture of one colour.
inline std::vector<uint8_t> solidRgb(int width, int height, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
    for (size_t i = 0; i < pixels.size(); i += 3) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
    }
    return pixels;
}
