// Layer state, the table of endpoint kinds, and starting and stopping the
// layer.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>
#include <nanomsg/pubsub.h>
#include <nanomsg/reqrep.h>
#include <nanomsg/survey.h>

#include <cerrno>
#include <cstring>

std::atomic<bool> gIpcInitialised{false};
std::atomic<bool> gIpcTerminated{false};
int gIpcOwnId;
const char *gIpcOwnName;

std::atomic<int> gReplyTimeoutMs{0};
std::atomic<int> gPushTimeoutMs{0};
std::atomic<int> gLogPushTimeoutMs{0};
std::atomic<int> gSurveyDeadlineMs{IPC_DEFAULT_SURVEY_DEADLINE_MS};

namespace {

// The requester is raw: the layer puts its own id on every request and
// takes only the reply that carries it (request.cpp says why).
const KindInfo kKinds[] = {
    /* 2 push         */ {NN_PUSH, AF_SP, false, "Pull", false},
    /* 3 pull server  */ {NN_PULL, AF_SP, true, "Pull", true},
    /* 4 log push     */ {NN_PUSH, AF_SP, false, "Log", false},
    /* 5 log server   */ {NN_PULL, AF_SP, true, "Log", true},
    /* 6 requester    */ {NN_REQ, AF_SP_RAW, false, "Reply", false},
    /* 7 reply server */ {NN_REP, AF_SP, true, "Reply", true},
    /* 8 publisher    */ {NN_PUB, AF_SP, true, "Publish", false},
    /* 9 subscriber   */ {NN_SUB, AF_SP, false, "Publish", true},
    /* 10 surveyor    */ {NN_SURVEYOR, AF_SP, true, "Survey", true},
    /* 11 respondent  */ {NN_RESPONDENT, AF_SP, false, "Survey", true},
};

// Serialises IPC_Init, IPC_Deinit and IPC_Term with each other.
std::mutex gLifecycleLock;

}  // namespace

const KindInfo *ipcKindInfo(int kind)
{
    if (kind < IPC_KIND_PUSH || kind > IPC_KIND_RESPONDENT)
        return nullptr;
    return &kKinds[kind - IPC_KIND_PUSH];
}

IpcStatus IPC_Init(int ownId, const char *ownName)
{
    std::lock_guard<std::mutex> g(gLifecycleLock);
    if (gIpcInitialised.load())
        return IPC_ALREADY_INITIALISED;
    if (!ownName)
        return IPC_BAD_ARGUMENT;
    ipcEventReset();
    gIpcOwnId = ownId;
    gIpcOwnName = ownName;
    gReplyTimeoutMs.store(0);
    gPushTimeoutMs.store(0);
    gLogPushTimeoutMs.store(0);
    gSurveyDeadlineMs.store(IPC_DEFAULT_SURVEY_DEADLINE_MS);
    gIpcInitialised.store(true);
    return IPC_OK;
}

namespace {

// Under the lifecycle lock, with the layer initialised.
IpcStatus releaseLayer()
{
    asyncRequestStop();
    if (ipcListEmpty()) {
        gIpcInitialised.store(false);
        return IPC_OK;
    }
    return _IPC_ListFree();
}

}  // namespace

IpcStatus IPC_Deinit()
{
    std::lock_guard<std::mutex> g(gLifecycleLock);
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    return releaseLayer();
}

IpcStatus IPC_Term()
{
    gIpcTerminated.store(true);
    nn_term();
    std::lock_guard<std::mutex> g(gLifecycleLock);
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    IpcStatus rc = releaseLayer();
    return rc != IPC_OK ? rc : IPC_TERMINATED;
}

namespace {

MallocPtr<char> joinMessage(const void *hdr, int hdrSize, const void *payload, int len)
{
    MallocPtr<char> buf(static_cast<char *>(std::malloc(static_cast<size_t>(hdrSize) + len)));
    if (!buf)
        return buf;
    std::memcpy(buf.get(), hdr, hdrSize);
    if (len > 0)
        std::memcpy(buf.get() + hdrSize, payload, len);
    return buf;
}

}  // namespace

IpcStatus sendMessage(int socket, const void *hdr, int hdrSize, const void *payload, int len,
                      int flags)
{
    MallocPtr<char> buf = joinMessage(hdr, hdrSize, payload, len);
    if (!buf)
        return IPC_FAILURE;
    int sent = nn_send(socket, buf.get(), hdrSize + len, flags);
    int err = errno;  // for the caller, past the free below
    buf.reset();
    errno = err;
    return sent == hdrSize + len ? IPC_OK : IPC_FAILURE;
}

bool badPayload(const void *payload, int len)
{
    return len < 0 || (!payload && len != 0);
}
