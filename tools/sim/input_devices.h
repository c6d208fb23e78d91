// The touch screen (/dev/input/event0) and the rotary push knob
// (/dev/input/event1): FIFOs fed with the kernel's own `struct input_event`
// records, as the event devices would deliver them.
//
// Like an event device, a FIFO gives its records only to a reader that has
// it open: while nobody reads (the daemon is not running), input is dropped
// and the caller is told so.
#pragma once

#include <string>

#define TOUCH_DEVICE "/dev/input/event0"
#define KNOB_DEVICE "/dev/input/event1"

// Creates the two FIFOs under MIF_ROOT (an existing FIFO is kept).
bool createInputDevices(std::string *error);

// A finger down at x,y and lifted again: two reports.
bool inputTouch(int x, int y, std::string *error);
// `steps` detents of the knob, one report each (negative: the other way).
bool inputKnobTurn(int steps, std::string *error);
// A short push (the driver's KEY_STOP) or a long one (KEY_POWER): press
// and release.
bool inputKnobPush(bool longPush, std::string *error);

// Closes the feeding ends held open between inputs.
void closeInputDevices();
