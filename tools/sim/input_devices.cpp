#include "input_devices.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "platform/paths.h"

namespace {

struct Feeder {
    const char *device;
    int fd = -1;
};

std::mutex gLock;
Feeder gTouch{TOUCH_DEVICE};
Feeder gKnob{KNOB_DEVICE};

input_event record(uint16_t type, uint16_t code, int32_t value)
{
    input_event event{};
    timeval now;
    gettimeofday(&now, nullptr);
    event.input_event_sec = now.tv_sec;
    event.input_event_usec = now.tv_usec;
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

// Writes the records whole; the feeding end stays open between inputs so
// that the reader does not see its device end.
bool feed(Feeder &feeder, const std::vector<input_event> &records, std::string *error)
{
    std::lock_guard<std::mutex> lock(gLock);
    for (int attempt = 0; attempt < 2; attempt++) {
        if (feeder.fd < 0) {
            feeder.fd = open(mifPath(feeder.device).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (feeder.fd < 0) {
                *error = errno == ENXIO ? std::string("nobody reads ") + feeder.device + ": input dropped"
                                        : std::string(feeder.device) + ": " + strerror(errno);
                return false;
            }
        }
        size_t size = records.size() * sizeof(input_event);
        ssize_t written = write(feeder.fd, records.data(), size);
        if (written == ssize_t(size))
            return true;
        int failure = errno;
        if (written >= 0 || failure == EAGAIN) {
            *error = std::string(feeder.device) + ": the reader is not keeping up: input dropped";
            return false;
        }
        // The reader went away (EPIPE): open again, for a reader that may
        // have come back.
        close(feeder.fd);
        feeder.fd = -1;
        *error = std::string(feeder.device) + ": " + strerror(failure);
    }
    return false;
}

bool makeFifo(const char *device, std::string *error)
{
    std::string path = mifPath(device);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        return true;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0644) != 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool createInputDevices(std::string *error)
{
    return makeFifo(TOUCH_DEVICE, error) && makeFifo(KNOB_DEVICE, error);
}

bool inputTouch(int x, int y, std::string *error)
{
    std::vector<input_event> records = {
        record(EV_KEY, BTN_TOUCH, 1),        record(EV_ABS, ABS_MT_POSITION_X, x), record(EV_ABS, ABS_MT_POSITION_Y, y),
        record(EV_ABS, ABS_X, x),            record(EV_ABS, ABS_Y, y),             record(EV_SYN, SYN_REPORT, 0),
        record(EV_KEY, BTN_TOUCH, 0),        record(EV_SYN, SYN_REPORT, 0),
    };
    return feed(gTouch, records, error);
}

bool inputKnobTurn(int steps, std::string *error)
{
    std::vector<input_event> records;
    for (int i = 0; i < (steps < 0 ? -steps : steps); i++) {
        records.push_back(record(EV_REL, REL_X, steps < 0 ? -1 : 1));
        records.push_back(record(EV_SYN, SYN_REPORT, 0));
    }
    return records.empty() || feed(gKnob, records, error);
}

bool inputKnobPush(bool longPush, std::string *error)
{
    uint16_t key = longPush ? KEY_POWER : KEY_STOP;
    return feed(gKnob,
                {record(EV_KEY, key, 1), record(EV_SYN, SYN_REPORT, 0), record(EV_KEY, key, 0),
                 record(EV_SYN, SYN_REPORT, 0)},
                error);
}

void closeInputDevices()
{
    std::lock_guard<std::mutex> lock(gLock);
    for (Feeder *feeder : {&gTouch, &gKnob}) {
        if (feeder->fd >= 0)
            close(feeder->fd);
        feeder->fd = -1;
    }
}
