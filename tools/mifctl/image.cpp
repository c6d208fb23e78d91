// PNG decoding (libpng) and fitting a picture to the display.
#include "image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <sys/stat.h>

// Larger pictures are not something anyone means to show on a 480x272
// display, and decoding them would only exhaust memory.
enum { MAX_SOURCE_PIXELS = 64 * 1024 * 1024 };

bool isPng(const uint8_t *data, size_t length)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return length >= sizeof kSignature && memcmp(data, kSignature, sizeof kSignature) == 0;
}

// One source sample contributing to a destination sample.
struct Tap {
    int source;
    float weight;
};

// For each of `to` destination samples the source samples it is made of:
// the covered stretch averaged when shrinking, linear interpolation when
// growing, so neither direction aliases or blurs more than it must.
static std::vector<std::vector<Tap>> axisTaps(int from, int to)
{
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(to));
    const double ratio = double(from) / double(to);
    for (int d = 0; d < to; d++) {
        std::vector<Tap> &list = taps[size_t(d)];
        if (ratio >= 1.0) {
            const double begin = d * ratio, end = (d + 1) * ratio;
            for (int s = int(begin); s < from && s < end; s++) {
                double covered = std::min<double>(s + 1, end) - std::max<double>(s, begin);
                if (covered > 0)
                    list.push_back({s, float(covered / ratio)});
            }
        } else {
            double centre = (d + 0.5) * ratio - 0.5;
            centre = std::clamp(centre, 0.0, double(from - 1));
            const int left = int(centre);
            const int right = std::min(left + 1, from - 1);
            const float fraction = float(centre - left);
            list.push_back({left, 1.0f - fraction});
            if (right != left)
                list.push_back({right, fraction});
        }
    }
    return taps;
}

// Resamples a BGR picture to width x height.
static std::vector<uint8_t> resample(const std::vector<uint8_t> &bgr, int width, int height, int toWidth, int toHeight)
{
    const auto xTaps = axisTaps(width, toWidth);
    const auto yTaps = axisTaps(height, toHeight);
    std::vector<float> rows(size_t(height) * size_t(toWidth) * 3);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < toWidth; x++)
            for (const Tap &tap : xTaps[size_t(x)])
                for (int c = 0; c < 3; c++)
                    rows[(size_t(y) * size_t(toWidth) + size_t(x)) * 3 + size_t(c)] +=
                        tap.weight * bgr[(size_t(y) * size_t(width) + size_t(tap.source)) * 3 + size_t(c)];
    std::vector<uint8_t> out(size_t(toWidth) * size_t(toHeight) * 3);
    for (int y = 0; y < toHeight; y++)
        for (int x = 0; x < toWidth; x++)
            for (int c = 0; c < 3; c++) {
                float sum = 0;
                for (const Tap &tap : yTaps[size_t(y)])
                    sum += tap.weight * rows[(size_t(tap.source) * size_t(toWidth) + size_t(x)) * 3 + size_t(c)];
                out[(size_t(y) * size_t(toWidth) + size_t(x)) * 3 + size_t(c)] =
                    uint8_t(std::clamp(std::lround(sum), 0L, 255L));
            }
    return out;
}

bool pngToFrame(const uint8_t *data, size_t length, bool scale, const std::string &name, std::vector<uint8_t> *frame,
                std::string *error)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, length)) {
        *error = name + " is not a readable PNG: " + image.message;
        png_image_free(&image);
        return false;
    }
    const int width = int(image.width), height = int(image.height);
    if (uint64_t(width) * uint64_t(height) > MAX_SOURCE_PIXELS) {
        *error = name + " is " + std::to_string(width) + "x" + std::to_string(height) + " pixels, too large to convert";
        png_image_free(&image);
        return false;
    }
    if (!scale && (width != DISPLAY_WIDTH || height != DISPLAY_HEIGHT)) {
        *error = name + " is " + std::to_string(width) + "x" + std::to_string(height) + " pixels; the display takes " +
                 std::to_string(DISPLAY_WIDTH) + "x" + std::to_string(DISPLAY_HEIGHT) +
                 " (add --scale to fit it, keeping its proportions)";
        png_image_free(&image);
        return false;
    }

    image.format = PNG_FORMAT_BGR;
    std::vector<uint8_t> bgr(PNG_IMAGE_SIZE(image));
    png_color black{0, 0, 0};
    if (!png_image_finish_read(&image, &black, bgr.data(), 0, nullptr)) {
        *error = name + " is not a readable PNG: " + image.message;
        png_image_free(&image);
        return false;
    }

    int fitWidth = DISPLAY_WIDTH, fitHeight = DISPLAY_HEIGHT;
    if (width != DISPLAY_WIDTH || height != DISPLAY_HEIGHT) {
        const double factor = std::min(double(DISPLAY_WIDTH) / width, double(DISPLAY_HEIGHT) / height);
        fitWidth = std::clamp(int(std::lround(width * factor)), 1, int(DISPLAY_WIDTH));
        fitHeight = std::clamp(int(std::lround(height * factor)), 1, int(DISPLAY_HEIGHT));
        bgr = resample(bgr, width, height, fitWidth, fitHeight);
    }
    const int left = (DISPLAY_WIDTH - fitWidth) / 2, top = (DISPLAY_HEIGHT - fitHeight) / 2;

    frame->assign(DISPLAY_FRAME_SIZE, 0);
    for (size_t i = 3; i < frame->size(); i += DISPLAY_BYTES_PER_PIXEL)
        (*frame)[i] = 0xFF;
    for (int y = 0; y < fitHeight; y++)
        for (int x = 0; x < fitWidth; x++) {
            const uint8_t *from = &bgr[(size_t(y) * size_t(fitWidth) + size_t(x)) * 3];
            uint8_t *to = &(*frame)[(size_t(top + y) * DISPLAY_WIDTH + size_t(left + x)) * DISPLAY_BYTES_PER_PIXEL];
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    return true;
}

bool loadDisplayImage(const std::string &path, bool scale, std::vector<uint8_t> *frame, std::string *error)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        fclose(file);
        *error = path + " is not a regular file";
        return false;
    }
    // Neither form of picture is anywhere near this large.
    if (st.st_size > 256 * 1024 * 1024) {
        fclose(file);
        *error = path + " is too large for a picture";
        return false;
    }
    std::vector<uint8_t> bytes(size_t(st.st_size));
    size_t got = fread(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    if (got != bytes.size()) {
        *error = "cannot read " + path;
        return false;
    }
    if (isPng(bytes.data(), bytes.size()))
        return pngToFrame(bytes.data(), bytes.size(), scale, path, frame, error);
    if (bytes.size() != DISPLAY_FRAME_SIZE) {
        *error = path + " is neither a PNG nor a raw 480x272 frame of 522,240 bytes (it has " +
                 std::to_string(bytes.size()) + " bytes)";
        return false;
    }
    *frame = std::move(bytes);
    return true;
}
