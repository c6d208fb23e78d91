#include "media.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/paths.h"
#include "file_guard.h"
#include "wire_bytes.h"

namespace {

bool createFile(const char *device, const Bytes &content, std::string *error)
{
    std::string path = mifPath(device);
    if (access(path.c_str(), F_OK) == 0)
        return true;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    bool ok = content.empty() || write(fd, content.data(), content.size()) == ssize_t(content.size());
    close(fd);
    if (!ok)
        *error = path + ": cannot write";
    return ok;
}

bool readWhole(const std::string &path, Bytes *bytes, std::string *error)
{
    FileGuard in(fopen(path.c_str(), "rb"));
    if (!in.f) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in.f)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    return true;
}

}  // namespace

bool createOutputDevices(std::string *error)
{
    return createFile(FB_DEVICE, Bytes(FB_FRAME_SIZE, 0), error) && createFile(DSP_DEVICE, {}, error) &&
           createFile(CONSOLE_DEVICE, {}, error);
}

static bool writePng(Bytes frame, const std::string &pngPath, std::string *error);

bool renderFrameToPng(const std::string &framePath, const std::string &pngPath, std::string *error)
{
    Bytes frame;
    return readWhole(framePath, &frame, error) && writePng(std::move(frame), pngPath, error);
}

bool writeTestPattern(const std::string &pngPath, std::string *error)
{
    // Blue, green and red of white, yellow, cyan, green, magenta, red, blue
    // and black.
    static const uint8_t bars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                       {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    Bytes frame(FB_FRAME_SIZE);
    for (int y = 0; y < FB_HEIGHT; y++) {
        for (int x = 0; x < FB_WIDTH; x++) {
            uint8_t *pixel = frame.data() + (size_t(y) * FB_WIDTH + x) * FB_BYTES_PER_PIXEL;
            if (y < FB_HEIGHT * 3 / 4) {
                const uint8_t *bar = bars[x * 8 / FB_WIDTH];
                pixel[0] = bar[0];
                pixel[1] = bar[1];
                pixel[2] = bar[2];
            } else {
                pixel[0] = pixel[1] = pixel[2] = uint8_t(x * 255 / (FB_WIDTH - 1));
            }
            pixel[3] = 0xFF;
        }
    }
    return writePng(std::move(frame), pngPath, error);
}

static bool writePng(Bytes frame, const std::string &pngPath, std::string *error)
{
    frame.resize(FB_FRAME_SIZE, 0);

    FileGuard out(fopen(pngPath.c_str(), "wb"));
    if (!out.f) {
        *error = pngPath + ": " + strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        *error = "libpng could not start";
        return false;
    }
    std::vector<uint8_t> row(FB_WIDTH * 3);
    // libpng reports its errors by jumping back here.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = pngPath + ": cannot write the PNG";
        return false;
    }
    png_init_io(png, out.f);
    png_set_IHDR(png, info, FB_WIDTH, FB_HEIGHT, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < FB_HEIGHT; y++) {
        const uint8_t *pixel = frame.data() + size_t(y) * FB_WIDTH * FB_BYTES_PER_PIXEL;
        for (int x = 0; x < FB_WIDTH; x++, pixel += FB_BYTES_PER_PIXEL) {
            row[x * 3 + 0] = pixel[2];
            row[x * 3 + 1] = pixel[1];
            row[x * 3 + 2] = pixel[0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool convertPcmToWav(const std::string &pcmPath, const std::string &wavPath, std::string *error)
{
    Bytes pcm;
    if (!readWhole(pcmPath, &pcm, error))
        return false;
    if (pcm.size() % 2)
        pcm.pop_back();   // half a sample cannot be played
    uint32_t dataSize = uint32_t(pcm.size());
    Bytes header;
    auto text = [&header](size_t at, const char *four) { memcpy(header.data() + at, four, 4); };
    header.assign(44, 0);
    text(0, "RIFF");
    putField<uint32_t>(header, 4, 36 + dataSize);
    text(8, "WAVE");
    text(12, "fmt ");
    putField<uint32_t>(header, 16, 16);            // size of the format block
    putField<uint16_t>(header, 20, 1);             // PCM
    putField<uint16_t>(header, 22, 1);             // mono
    putField<uint32_t>(header, 24, DSP_RATE_HZ);
    putField<uint32_t>(header, 28, DSP_RATE_HZ * 2);
    putField<uint16_t>(header, 32, 2);             // bytes per frame
    putField<uint16_t>(header, 34, 16);            // bits per sample
    text(36, "data");
    putField<uint32_t>(header, 40, dataSize);

    FileGuard out(fopen(wavPath.c_str(), "wb"));
    bool ok = out.f && fwrite(header.data(), 1, header.size(), out.f) == header.size() &&
              fwrite(pcm.data(), 1, pcm.size(), out.f) == pcm.size();
    if (!ok)
        *error = wavPath + ": " + strerror(errno);
    return ok;
}
