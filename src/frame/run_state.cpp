#include "frame/run_state.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<bool> stopRequested{false};
std::atomic<bool> shutdownRequested{false};

static std::mutex changeLock;
static std::condition_variable changed;
static unsigned changeCount = 0;

void notifyRunStateChange()
{
    std::lock_guard<std::mutex> guard(changeLock);
    changeCount++;
    changed.notify_all();
}

void requestStop()
{
    stopRequested = true;
    notifyRunStateChange();
}

void requestShutdown()
{
    shutdownRequested = true;
    notifyRunStateChange();
}

void waitRunStateChange(unsigned ms)
{
    std::unique_lock<std::mutex> guard(changeLock);
    unsigned seen = changeCount;
    changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return changeCount != seen; });
}
