#include "monitor/gui_state.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<int32_t> BowlLockState{BOWL_STATE_UNKNOWN};

namespace {

struct GuiStateMonitor {
    std::mutex lock;
    std::condition_variable changed;   // waits on the monotonic clock
    int32_t lastGuiError = 0;
    int32_t guiRotationDirection = 0;
    int32_t guiMotorMode = 0;
    int32_t guiSpeed = 0;
    int32_t guiSpeedStatus = 0;
};

GuiStateMonitor monitor;

// Reads one field, locking only when asked to.
template <typename Read>
auto readField(bool lock, Read read)
{
    if (!lock)
        return read();
    std::lock_guard<std::mutex> guard(monitor.lock);
    return read();
}

// Stores one field and wakes every waiter.
void storeField(int32_t GuiStateMonitor::*field, int32_t value)
{
    std::lock_guard<std::mutex> guard(monitor.lock);
    monitor.*field = value;
    monitor.changed.notify_all();
}

} // namespace

void guiStateLock() { monitor.lock.lock(); }
void guiStateUnlock() { monitor.lock.unlock(); }
void guiStateBroadcast() { monitor.changed.notify_all(); }

int waitForGuiStateChange(uint32_t ms)
{
    // The caller's lock is borrowed for the wait and handed back held.
    std::unique_lock<std::mutex> held(monitor.lock, std::adopt_lock);
    std::cv_status status = monitor.changed.wait_for(held, std::chrono::milliseconds(ms));
    held.release();
    return status == std::cv_status::timeout ? ETIMEDOUT : 0;
}

int32_t takeLastGuiError(bool lock)
{
    return readField(lock, [] {
        int32_t error = monitor.lastGuiError;
        monitor.lastGuiError = 0;
        return error;
    });
}

int32_t getLastGuiError(bool lock)
{
    return readField(lock, [] { return monitor.lastGuiError; });
}

int32_t getGuiRotationDirection(bool lock)
{
    return readField(lock, [] { return monitor.guiRotationDirection; });
}

int32_t getGuiMotorMode(bool lock)
{
    return readField(lock, [] { return monitor.guiMotorMode; });
}

int16_t getGuiSpeed(bool lock)
{
    return readField(lock, [] { return int16_t(monitor.guiSpeed); });
}

int16_t getGuiSpeedStatus(bool lock)
{
    return readField(lock, [] { return int16_t(monitor.guiSpeedStatus); });
}

bool guiStateSetSpeed(int32_t speed)
{
    std::lock_guard<std::mutex> guard(monitor.lock);
    bool changed = speed != monitor.guiSpeed;
    monitor.guiSpeed = speed;
    monitor.changed.notify_all();
    return changed;
}

int32_t guiStateSetError(int32_t error)
{
    std::lock_guard<std::mutex> guard(monitor.lock);
    int32_t pending = monitor.lastGuiError;
    monitor.lastGuiError = error;
    monitor.changed.notify_all();
    return pending;
}

void guiStateSetRotationDirection(int32_t direction)
{
    storeField(&GuiStateMonitor::guiRotationDirection, direction);
}

void guiStateSetMotorMode(int32_t mode) { storeField(&GuiStateMonitor::guiMotorMode, mode); }

void guiStateSetSpeedStatus(int32_t status) { storeField(&GuiStateMonitor::guiSpeedStatus, status); }
