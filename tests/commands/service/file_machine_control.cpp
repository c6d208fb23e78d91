#include "file_machine_control.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ipc/ipc.h"
#include "requests/request_codes.h"

namespace {

std::atomic<uint64_t> machineTime{0};
std::atomic<int> timeRequests{0};
std::string savedRoot;
bool hadRoot = false;

void answer(const void *msg, const void *, int, ReplyHeader *out, void **outPayload, int *outLen)
{
    RequestHeader request;
    memcpy(&request, msg, sizeof request);
    out->status = 0;
    if (request.requestCode != RIF_GET_SYS_TIME)
        return;
    timeRequests++;
    uint64_t now = machineTime.load();
    void *payload = malloc(sizeof now);
    if (!payload)
        return;
    memcpy(payload, &now, sizeof now);
    *outPayload = payload;
    *outLen = int(sizeof now);
}

} // namespace

bool startMachineControl(const std::string &root, uint64_t timeMs)
{
    const char *old = getenv("MIF_ROOT");
    hadRoot = old != nullptr;
    savedRoot = old ? old : "";
    setenv("MIF_ROOT", root.c_str(), 1);
    machineTime = timeMs;
    timeRequests = 0;
    if (IPC_Init(2, "Mcl") != IPC_OK)
        return false;
    if (IPC_OpenReplyServer(answer) != IPC_OK) {
        IPC_Deinit();
        return false;
    }
    return true;
}

void stopMachineControl()
{
    IPC_Deinit();
    if (hadRoot)
        setenv("MIF_ROOT", savedRoot.c_str(), 1);
    else
        unsetenv("MIF_ROOT");
}

int machineTimeRequests() { return timeRequests.load(); }
