// Input devices (evdev), opened only to observe: read-only, never grabbed,
// never written.
//
// Under MIF_ROOT a device may be a FIFO that a simulator or a test feeds
// with native `struct input_event` records. A FIFO has no writer until its
// feeder opens it, and a blocking open would wait for that; so devices are
// opened non-blocking and readers wait for input with poll instead.
#pragma once

#include <cstddef>
#include <linux/input.h>

// Opens the device at the host path `path` read-only, non-blocking and
// close-on-exec. When the driver reports a name, copies it into `name` (at
// most nameSize - 1 bytes, NUL-terminated); a device without one (a FIFO)
// leaves `name` as it was. Returns the descriptor, or -1 with errno set.
int openInputDevice(const char *path, char *name, size_t nameSize);

// Waits at most `timeoutMs` for the device to become readable (or to report
// that its writer went away). Returns 1 when a read will not block, 0 when
// nothing happened in time (or a signal came), -1 with errno on failure.
int waitInputReadable(int fd, int timeoutMs);

// Whether the descriptor is a FIFO standing in for a device.
bool isInputFifo(int fd);
