// The synchronous request: one request outstanding per process, serialised
// by the request lock, answered within the reply time-out or given up.
//
// No id is compared between request and reply: with one request at a time,
// nanomsg's request socket drops a late reply to an abandoned request once
// the next request has been sent.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>

#include <cstring>

namespace {

std::mutex gRequestLock;

struct NnMsg {
    void *p = nullptr;
    ~NnMsg()
    {
        if (p)
            nn_freemsg(p);
    }
};

}  // namespace

IpcStatus IPC_Request(const char *peer, RequestHeader *hdr, const void *payload, int len,
                      ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    std::lock_guard<std::mutex> serialise(gRequestLock);
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || !hdr || !outHdr || badPayload(payload, len) || (outPayload && !outLen))
        return IPC_BAD_ARGUMENT;
    hdr->senderId = static_cast<uint32_t>(gIpcOwnId);
    EntryRef e = acquireEntry(IPC_KIND_REQUESTER, peer);
    if (!e)
        return IPC_NO_ENDPOINT;

    // A request socket takes a request at once even when no peer is there
    // (it is delivered when one comes), so NN_DONTWAIT costs nothing and
    // guarantees that the reply time-out below is the only wait.
    int s = e->socket.load();
    if (sendMessage(s, hdr, sizeof *hdr, payload, len, NN_DONTWAIT) != IPC_OK)
        return IPC_FAILURE;

    nn_pollfd pfd{s, NN_POLLIN, 0};
    int rc = nn_poll(&pfd, 1, gReplyTimeoutMs.load());
    if (rc == 0) {
        outHdr->status = 2;  // callers that test only the reply status see a failure too
        return IPC_TIMEOUT;
    }
    if (rc < 0)
        return IPC_FAILURE;

    NnMsg reply;
    int n = nn_recv(s, &reply.p, NN_MSG, NN_DONTWAIT);
    if (n < 0)
        return IPC_FAILURE;
    if (n < static_cast<int>(sizeof(ReplyHeader)))
        return IPC_FAILURE;
    std::memcpy(outHdr, reply.p, sizeof(ReplyHeader));

    int plen = n - static_cast<int>(sizeof(ReplyHeader));
    if (plen > 0 && outPayload) {
        void *copy = std::malloc(plen);
        if (!copy)
            return IPC_FAILURE;
        std::memcpy(copy, static_cast<const char *>(reply.p) + sizeof(ReplyHeader), plen);
        *outPayload = copy;
        *outLen = plen;
    }
    return IPC_OK;
}

IpcStatus IPC_DropRequest(const char *peer)
{
    // Under the request lock, so that no request is sent on the socket
    // being replaced and none finds the name missing in between.
    std::lock_guard<std::mutex> serialise(gRequestLock);
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer)
        return IPC_BAD_ARGUMENT;
    const int replyTimeoutMs = gReplyTimeoutMs.load();
    IpcStatus closed = IPC_CloseRequester(peer);
    if (closed != IPC_OK)
        return closed;
    return IPC_OpenRequester(peer, replyTimeoutMs);
}
