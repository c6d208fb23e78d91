// The audio output: the OSS device the daemon plays raw PCM on.
//
// On the appliance this is the kernel's OSS device. A simulated appliance
// (MIF_ROOT set) has no sound hardware: when the device path under the root
// exists but is not a character device, it stands in for the device. It
// accepts exactly the settings the daemon asks for (48000 Hz, mono, signed
// 16-bit little-endian), refuses any other, and collects the PCM bytes in
// the file, which a test or a curious developer can then inspect.
#pragma once

#include <cstdint>

enum AudioSetting { AUDIO_SPEED, AUDIO_CHANNELS, AUDIO_FORMAT };

enum {
    AUDIO_RATE_HZ = 48000,
    AUDIO_MONO = 1,
    AUDIO_FORMAT_S16_LE = 0x10,   // the OSS code of signed 16-bit little-endian
};

struct AudioDevice {
    int fd = -1;
    bool standIn = false;   // the simulated device: a file under MIF_ROOT
};

// Opens the device (an appliance path, mapped under MIF_ROOT) for writing.
// The stand-in file is emptied, so it holds one sound at a time. 0, or a
// negative errno (-ENOENT when there is no device).
int audioOpen(AudioDevice *device, const char *appliancePath);

// One OSS request on the open device. 0, or a negative errno.
int audioConfigure(AudioDevice *device, AudioSetting setting, int value);

// Closes the device; a closed device is left alone.
void audioClose(AudioDevice *device);

// Holds a device open for one scope.
struct AudioDeviceGuard {
    AudioDevice device;
    AudioDeviceGuard() = default;
    ~AudioDeviceGuard() { audioClose(&device); }
    AudioDeviceGuard(const AudioDeviceGuard &) = delete;
    AudioDeviceGuard &operator=(const AudioDeviceGuard &) = delete;
};
