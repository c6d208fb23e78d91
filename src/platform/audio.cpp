#include "platform/audio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

#if __has_include(<sys/soundcard.h>)
#include <sys/soundcard.h>
#elif __has_include(<linux/soundcard.h>)
#include <linux/soundcard.h>
#else
// The three OSS requests the daemon needs, as the kernel numbers them.
#define SNDCTL_DSP_SPEED _IOWR('P', 2, int)
#define SNDCTL_DSP_SETFMT _IOWR('P', 5, int)
#define SNDCTL_DSP_CHANNELS _IOWR('P', 6, int)
#define AFMT_S16_LE 0x00000010
#endif

static_assert(AUDIO_FORMAT_S16_LE == AFMT_S16_LE, "the format code is the kernel's");

int audioOpen(AudioDevice *device, const char *appliancePath)
{
    device->fd = -1;
    device->standIn = false;
    if (!appliancePath || !*appliancePath)
        return -ENOENT;
    const std::string path = mifPath(appliancePath);
    const bool simulated = !mifRoot().empty();
    // In simulation the "device" may be a FIFO nobody reads: do not hang in
    // open, report it as absent instead.
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | (simulated ? O_NONBLOCK : 0));
    if (fd < 0)
        return -errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    if (simulated) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        if (!S_ISCHR(st.st_mode)) {
            device->standIn = true;
            if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
                int error = errno;
                close(fd);
                return -error;
            }
        }
    }
    device->fd = fd;
    return 0;
}

int audioConfigure(AudioDevice *device, AudioSetting setting, int value)
{
    if (device->fd < 0)
        return -EBADF;
    if (device->standIn) {
        switch (setting) {
        case AUDIO_SPEED: return value == AUDIO_RATE_HZ ? 0 : -EINVAL;
        case AUDIO_CHANNELS: return value == AUDIO_MONO ? 0 : -EINVAL;
        case AUDIO_FORMAT: return value == AUDIO_FORMAT_S16_LE ? 0 : -EINVAL;
        }
        return -EINVAL;
    }
    unsigned long request;
    switch (setting) {
    case AUDIO_SPEED: request = SNDCTL_DSP_SPEED; break;
    case AUDIO_CHANNELS: request = SNDCTL_DSP_CHANNELS; break;
    case AUDIO_FORMAT: request = SNDCTL_DSP_SETFMT; break;
    default: return -EINVAL;
    }
    int argument = value;
    if (ioctl(device->fd, request, &argument) != 0)
        return -errno;
    return 0;
}

void audioClose(AudioDevice *device)
{
    if (device->fd >= 0)
        close(device->fd);
    device->fd = -1;
    device->standIn = false;
}
