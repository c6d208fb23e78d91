// What the GUI last reported through machine control's events: the
// GuiStateMonitor that motor commands wait on, and the bowl/transport
// locking state.
//
// The monitor's fields are guarded by one mutex; every update broadcasts a
// condition that runs on the monotonic clock, so setting the machine's time
// of day never stretches or cuts a wait. Getters take a flag saying whether
// to lock, because a waiting command already holds the mutex.
#pragma once

#include <atomic>
#include <cstdint>

void guiStateLock();
void guiStateUnlock();
void guiStateBroadcast();

// Waits for the next broadcast, at most `ms` milliseconds. The caller holds
// the mutex (guiStateLock), which is released during the wait and held
// again on return. Returns 0, or ETIMEDOUT (110) when the time ran out; as
// with any condition, a return of 0 does not promise a change, so callers
// check the state they wait for.
int waitForGuiStateChange(uint32_t ms);

// The last reported machine error (0 = none); taking it resets it to 0.
int32_t takeLastGuiError(bool lock);
// The last reported machine error, left pending.
int32_t getLastGuiError(bool lock);
int32_t getGuiRotationDirection(bool lock);   // 0 regular, 1 reverse
int32_t getGuiMotorMode(bool lock);           // 0 NORMAL, 1 TURBO, 3 DOUGH, 5 MACRO
int16_t getGuiSpeed(bool lock);               // GUI speed in tenths
int16_t getGuiSpeedStatus(bool lock);

// 0 no state reported yet, 1 bowl open or transport lock off, 2 bowl closed
// or transport lock on. Set by machine-control events; MCH_SET_TRANSP
// clears it and polls it.
extern std::atomic<int32_t> BowlLockState;

enum : int32_t { BOWL_STATE_UNKNOWN = 0, BOWL_STATE_OPEN = 1, BOWL_STATE_CLOSED = 2 };

// Updates from machine-control events. Each stores its value and wakes
// every waiter, even when the value did not change. The speed update
// returns whether the speed changed; the error update returns the error it
// replaced while still pending (0 when none was).
bool guiStateSetSpeed(int32_t speed);
int32_t guiStateSetError(int32_t error);
void guiStateSetRotationDirection(int32_t direction);
void guiStateSetMotorMode(int32_t mode);
void guiStateSetSpeedStatus(int32_t status);
