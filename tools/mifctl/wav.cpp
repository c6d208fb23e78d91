// WAV header checks.
#include "wav.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "connection.h"

static uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
static uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

enum { WAVE_FORMAT_PCM = 1, WAVE_FORMAT_EXTENSIBLE = 0xFFFE };

static bool readAt(int fd, uint64_t offset, void *buffer, size_t length)
{
    return pread(fd, buffer, length, off_t(offset)) == ssize_t(length);
}

static std::string describeFormat(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits)
{
    std::string text = std::to_string(rate) + " Hz, " +
                       (channels == 1 ? std::string("mono") : channels == 2 ? std::string("stereo")
                                                                           : std::to_string(channels) + " channels") +
                       ", " + std::to_string(bits) + "-bit";
    if (format != WAVE_FORMAT_PCM)
        text += " (format " + std::to_string(format) + ", not integer PCM)";
    return text;
}

// Walks the chunks of a RIFF/WAVE file for "fmt " and "data".
static bool inspectWav(int fd, uint64_t fileSize, const std::string &path, SoundSamples *samples, std::string *error)
{
    uint8_t head[12];
    if (!readAt(fd, 0, head, sizeof head) || memcmp(head + 8, "WAVE", 4) != 0) {
        *error = path + " is a RIFF file but not a WAV file";
        return false;
    }
    bool haveFormat = false;
    uint64_t at = 12;
    while (at + 8 <= fileSize) {
        uint8_t chunk[8];
        if (!readAt(fd, at, chunk, sizeof chunk))
            break;
        const uint32_t size = le32(chunk + 4);
        const uint64_t body = at + 8;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t fmt[26] = {};
            if (size < 16 || !readAt(fd, body, fmt, size >= 26 ? 26 : 16)) {
                *error = path + " has a broken WAV format header";
                return false;
            }
            uint16_t format = le16(fmt);
            const uint16_t channels = le16(fmt + 2);
            const uint32_t rate = le32(fmt + 4);
            const uint16_t bits = le16(fmt + 14);
            // An extensible header names its real format in the sub-format.
            if (format == WAVE_FORMAT_EXTENSIBLE && size >= 26)
                format = le16(fmt + 24);
            if (format != WAVE_FORMAT_PCM || channels != SOUND_CHANNELS || rate != SOUND_RATE || bits != SOUND_BITS) {
                *error = path + " holds " + describeFormat(format, channels, rate, bits) +
                         " sound; the appliance plays 48000 Hz mono signed 16-bit (convert it first, "
                         "e.g. sox IN -r 48000 -c 1 -b 16 -e signed-integer OUT.wav)";
                return false;
            }
            haveFormat = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                *error = path + " has its samples before its WAV format header";
                return false;
            }
            samples->offset = body;
            // Recorders that stream leave the size open (0 or all ones);
            // the samples then run to the end of the file.
            uint64_t available = fileSize - body;
            samples->size = (size == 0 || size > available) ? available : size;
            samples->size &= ~uint64_t(1);
            samples->wav = true;
            if (samples->size == 0) {
                *error = path + " holds no samples";
                return false;
            }
            return true;
        }
        at = body + size + (size & 1);  // chunks are padded to even sizes
    }
    *error = path + (haveFormat ? " has no samples (no data chunk)" : " has no WAV format header");
    return false;
}

bool locateSamples(const std::string &path, SoundSamples *samples, std::string *error)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st{};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file";
        return false;
    }
    const uint64_t size = uint64_t(st.st_size);
    uint8_t magic[4] = {};
    if (size >= 4 && readAt(fd.get(), 0, magic, 4) && memcmp(magic, "RIFF", 4) == 0)
        return inspectWav(fd.get(), size, path, samples, error);

    *samples = SoundSamples{};
    samples->size = size;
    if (size == 0) {
        *error = path + " is empty";
        return false;
    }
    if (size % 2) {
        *error = path + " is not a WAV file, and as raw 16-bit PCM its " + std::to_string(size) +
                 " bytes are not whole samples";
        return false;
    }
    return true;
}
