// One-way sends: pushes, publishing, surveys and out-of-band survey
// responses. None takes the request lock; they may run concurrently with
// each other and with the receiver threads.
//
// Only a push without a time-out waits for its peer without bound (that is
// what a time-out of 0 asks for); every other send here is one that nanomsg
// completes or refuses at once, so it is made with NN_DONTWAIT.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>

#include <cerrno>

namespace {

template <class Header>
IpcStatus pushTo(EndpointKind kind, const char *peer, Header *hdr, const void *payload, int len,
                 int timeoutMs)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || !hdr || badPayload(payload, len))
        return IPC_BAD_ARGUMENT;
    hdr->senderId = static_cast<uint32_t>(gIpcOwnId);
    EntryRef e = acquireEntry(kind, peer);
    if (!e)
        return IPC_NO_ENDPOINT;

    int s = e->socket.load();
    int flags = 0;
    if (timeoutMs != 0) {
        nn_pollfd pfd{s, NN_POLLOUT, 0};
        int rc = nn_poll(&pfd, 1, timeoutMs);
        if (rc == 0)
            return IPC_TIMEOUT;
        if (rc < 0)
            return IPC_FAILURE;
        // The peer can take it now; should another thread's push get there
        // first, this one times out rather than waiting past its bound.
        flags = NN_DONTWAIT;
    }
    if (sendMessage(s, hdr, sizeof *hdr, payload, len, flags) != IPC_OK)
        return flags && errno == EAGAIN ? IPC_TIMEOUT : IPC_FAILURE;
    return IPC_OK;
}

}  // namespace

IpcStatus IPC_Push(const char *peer, PushHeader *hdr, const void *payload, int len)
{
    return pushTo(IPC_KIND_PUSH, peer, hdr, payload, len, gPushTimeoutMs.load());
}

IpcStatus IPC_PushLog(const char *peer, LogHeader *hdr, const void *payload, int len)
{
    return pushTo(IPC_KIND_LOG_PUSH, peer, hdr, payload, len, gLogPushTimeoutMs.load());
}

IpcStatus IPC_Publish(const EventHeader *hdr, const void *payload, int len)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!hdr || badPayload(payload, len))
        return IPC_BAD_ARGUMENT;
    EntryRef e = acquireEntry(IPC_KIND_PUBLISHER, gIpcOwnName);
    if (!e)
        return IPC_NO_ENDPOINT;
    return sendMessage(e->socket.load(), hdr, sizeof *hdr, payload, len, NN_DONTWAIT);
}

IpcStatus IPC_Survey(SurveyHeader hdr, const void *payload, int len)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!payload || len < 0)
        return IPC_BAD_ARGUMENT;
    EntryRef e = acquireEntry(IPC_KIND_SURVEYOR, gIpcOwnName);
    if (!e)
        return IPC_NO_ENDPOINT;
    if (sendMessage(e->socket.load(), &hdr, sizeof hdr, payload, len, NN_DONTWAIT) != IPC_OK)
        return IPC_FAILURE;
    // The surveyor's receiver sleeps between surveys; it now collects the
    // responses until the deadline.
    surveyWake(true);
    return IPC_OK;
}

IpcStatus IPC_Respond(const char *peer, ResponseHeader hdr, const void *payload, int len)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || badPayload(payload, len))
        return IPC_BAD_ARGUMENT;
    EntryRef e = acquireEntry(IPC_KIND_RESPONDENT, peer);
    if (!e)
        return IPC_NO_ENDPOINT;
    hdr.respondentId = static_cast<uint32_t>(gIpcOwnId);
    EntryLock l(e.get());
    return sendMessage(e->socket.load(), &hdr, sizeof hdr, payload, len, NN_DONTWAIT);
}
