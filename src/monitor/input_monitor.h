// The touch and rotary-knob monitors: two threads that watch the input
// devices next to the GUI (read only, never grabbed) and turn touches,
// pushes and turns into machine-state log entries.
#pragma once

#include <string>

#include <linux/input.h>

// One opened input device. A FIFO standing in for a device (under
// MIF_ROOT) is opened again when its feeder goes away, so that the next
// feeder is heard; a real device never ends its input.
struct InputSource {
    std::string path;   // host path
    int fd = -1;        // owned: closed by closeDevice or at the end of scope
    bool fifo = false;

    InputSource() = default;
    ~InputSource();
    InputSource(const InputSource &) = delete;
    InputSource &operator=(const InputSource &) = delete;
};

// Opens the device at the host path read-only and logs what it is (the
// driver's name, or "Unknown"). False, after logging the reason, when it
// cannot be opened.
bool openDevice(InputSource &source, const std::string &path);
void closeDevice(InputSource &source);

// Waits for one whole input record, re-checking stopRequested at least
// every 200 ms so that an idle device never holds up shutdown. Returns 1
// with *event filled, 0 when stop was requested, -1 after logging a read
// failure (the device is gone or broken).
int readEvent(InputSource &source, input_event *event);

// Thread bodies: run until stopRequested is set, or until their device
// cannot be opened or read (which ends only that monitor).
void touchMonitor();    // /dev/input/event0
void rotaryMonitor();   // /dev/input/event1
