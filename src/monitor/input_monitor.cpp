#include "monitor/input_monitor.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "frame/log.h"
#include "frame/run_state.h"
#include "monitor/state_log.h"
#include "platform/input_device.h"
#include "platform/paths.h"
#include "requests/remote_if.h"
#include "session/socket_io.h"

namespace {

enum {
    INPUT_POLL_MS = 200,     // how long stop may wait for an idle device
    RECORD_REST_MS = 1000,   // for the rest of a record once its first byte came
};

// The last touch position; both start at 0xFFFF, which a report without any
// coordinate repeats.
struct TouchPosition {
    uint16_t x = 0xFFFF;
    uint16_t y = 0xFFFF;
};

// The machine's whole seconds with the input event's own milliseconds.
unsigned long long inputTimestamp(const input_event &event)
{
    uint64_t seconds = RemoteIF_getSysTime() / 1000;
    uint64_t ms = (uint64_t(event.input_event_usec) % 1000000u) / 1000;
    return static_cast<unsigned long long>(seconds * 1000 + ms);
}

void logTouchEvent(const TouchPosition &position, const input_event &event)
{
    MIF_STATE_ENTRY("%llu:TE:%u,%u;", inputTimestamp(event), unsigned(position.x), unsigned(position.y));
}

void handleTouchEvent(TouchPosition &position, const input_event &event)
{
    if (event.type == EV_ABS) {
        if (event.code == ABS_X || event.code == ABS_MT_POSITION_X)
            position.x = uint16_t(event.value);
        else if (event.code == ABS_Y || event.code == ABS_MT_POSITION_Y)
            position.y = uint16_t(event.value);
    } else if (event.type == EV_SYN && event.code == SYN_REPORT) {
        // Every report ends in one entry, the one announcing a lifted finger
        // included, which repeats the last position.
        logTouchEvent(position, event);
    }
}

// The knob driver tells short and long pushes apart by key code; a release
// (value 0) is not logged, an auto-repeat (2) is logged like a press.
void logRotaryEvent(const input_event &event)
{
    const bool pressed = event.type == EV_KEY && event.value != 0;
    if (pressed && event.code == KEY_STOP)
        MIF_STATE_ENTRY("%llu:PE:PUSH;", inputTimestamp(event));
    else if (pressed && event.code == KEY_POWER)
        MIF_STATE_ENTRY("%llu:PE:LONG_PUSH;", inputTimestamp(event));
    else if (event.type == EV_REL && event.code == REL_X)
        MIF_STATE_ENTRY("%llu:RE:%i;", inputTimestamp(event), int(int8_t(event.value)));
}

// A FIFO's feeder went away: open it again so that poll waits for the next
// feeder instead of reporting the hang-up over and over.
bool reopenFifo(InputSource &source)
{
    closeDevice(source);
    source.fd = openInputDevice(source.path.c_str(), nullptr, 0);
    return source.fd >= 0;
}

} // namespace

bool openDevice(InputSource &source, const std::string &path)
{
    source.path = path;
    char name[256] = "Unknown";
    source.fd = openInputDevice(path.c_str(), name, sizeof name);
    if (source.fd < 0) {
        MIF_LOG(3, "%s\n", strerror(errno));
        return false;
    }
    source.fifo = isInputFifo(source.fd);
    consoleLog(2, "Opened device %s (fd %i), identified as \"%s\"\n", path.c_str(), source.fd, name);
    MIF_LOG(5, "Opened device %s (fd %i), identified as \"%s\"\n", path.c_str(), source.fd, name);
    return true;
}

InputSource::~InputSource() { closeDevice(*this); }

void closeDevice(InputSource &source)
{
    if (source.fd >= 0)
        close(source.fd);
    source.fd = -1;
}

int readEvent(InputSource &source, input_event *event)
{
    for (;;) {
        if (stopRequested)
            return 0;
        int ready = waitInputReadable(source.fd, INPUT_POLL_MS);
        if (ready == 0)
            continue;
        if (ready > 0) {
            ssize_t got = socket_read(source.fd, event, sizeof *event, RECORD_REST_MS);
            if (got == ssize_t(sizeof *event))
                return 1;
            if (got == 0 && source.fifo) {
                if (reopenFifo(source))
                    continue;
            } else if (got == 0) {
                errno = ENODEV;   // a device that ends its input is gone
            } else if (got > 0) {
                errno = EIO;      // a torn record
            }
        }
        MIF_LOG(3, "%s\n", strerror(errno));
        return -1;
    }
}

void touchMonitor()
{
    InputSource source;
    if (!openDevice(source, mifPath("/dev/input/event0")))
        return;
    TouchPosition position;
    input_event event{};
    while (!stopRequested && readEvent(source, &event) == 1)
        handleTouchEvent(position, event);
}

void rotaryMonitor()
{
    InputSource source;
    if (!openDevice(source, mifPath("/dev/input/event1")))
        return;
    input_event event{};
    while (!stopRequested && readEvent(source, &event) == 1)
        logRotaryEvent(event);
}
