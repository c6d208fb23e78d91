// Waiting for a published event. Subscriber receiver threads offer every
// event they handled; one that matches the waiter's criteria sets the
// matched flag, and only that flag (or IPC_SignalEvent) ends a wait, so a
// spurious wake-up of the condition never does.
#include "ipc/ipc_internal.h"

#include <chrono>
#include <condition_variable>

namespace {

std::mutex gEventLock;
std::condition_variable gEventCond;
uint32_t gWaitTopic, gWaitValue, gWaitMask;
bool gMatched;

}  // namespace

void ipcEventReset()
{
    std::lock_guard<std::mutex> l(gEventLock);
    gWaitTopic = gWaitValue = gWaitMask = 0;
    gMatched = false;
}

void eventOffered(const EventHeader *hdr)
{
    std::lock_guard<std::mutex> l(gEventLock);
    if (hdr->topic == gWaitTopic && (hdr->eventId & gWaitMask) == (gWaitValue & gWaitMask)) {
        gMatched = true;
        gEventCond.notify_all();
    }
}

IpcStatus IPC_WaitEvent(int topic, int value, int mask, unsigned timeoutMs)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!ipcAnySubscription())
        return IPC_NO_ENDPOINT;

    std::unique_lock<std::mutex> l(gEventLock);
    gWaitTopic = static_cast<uint32_t>(topic);
    gWaitValue = static_cast<uint32_t>(value);
    gWaitMask = static_cast<uint32_t>(mask);
    // An event that came before the wait began is not remembered.
    gMatched = false;
    auto matched = [] { return gMatched; };
    if (timeoutMs == 0) {
        gEventCond.wait(l, matched);
        return IPC_OK;
    }
    // wait_for measures on the steady (monotonic) clock: setting the time of
    // day neither shortens nor stretches the wait.
    return gEventCond.wait_for(l, std::chrono::milliseconds(timeoutMs), matched) ? IPC_OK
                                                                                 : IPC_TIMEOUT;
}

IpcStatus IPC_SignalEvent()
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    std::lock_guard<std::mutex> l(gEventLock);
    gMatched = true;
    gEventCond.notify_all();
    return IPC_OK;
}
