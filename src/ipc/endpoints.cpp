// Opening and closing endpoints.
#include "ipc/address.h"
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <nanomsg/survey.h>

namespace {

IpcStatus connectEntry(EndpointEntry *e, const KindInfo *k, EndpointHandler handler,
                       const OpenOptions &opt)
{
    // Stored once a new entry exists, not when the endpoint was already
    // open: the requester opened last sets the one reply time-out.
    if (opt.storeTimeout)
        opt.storeTimeout->store(opt.timeoutMs);
    e->handler = handler;

    int s = e->socket.load();
    MallocPtr<char> addr(_IPC_BuildAddress(k->binds ? gIpcOwnName : e->peer, k->word, s, k->binds));
    if (!addr)
        return IPC_FAILURE;
    if ((k->binds ? nn_bind(s, addr.get()) : nn_connect(s, addr.get())) < 0)
        return IPC_FAILURE;

    if (opt.surveyDeadlineMs >= 0) {
        gSurveyDeadlineMs.store(opt.surveyDeadlineMs);
        int ms = opt.surveyDeadlineMs;
        if (nn_setsockopt(s, NN_SURVEYOR, NN_SURVEYOR_DEADLINE, &ms, sizeof ms) != 0)
            return IPC_FAILURE;
    }
    if (opt.topic >= 0) {
        // A subscription that nanomsg refused would receive nothing, quietly.
        uint16_t topic = static_cast<uint16_t>(opt.topic);
        if (nn_setsockopt(s, NN_SUB, NN_SUB_SUBSCRIBE, &topic, sizeof topic) != 0)
            return IPC_FAILURE;
        withDirectoryWriteLock([&] { e->topics[0] = TopicSlot{1, topic}; });
    }

    e->active.store(true);
    if (k->hasReceiver && !startReceiver(e)) {
        e->active.store(false);
        return IPC_FAILURE;
    }
    return IPC_OK;
}

// The order in which an endpoint is taken down. Servers stop their receiver
// before the socket goes; kinds whose receiver may sit in a long wait have
// their socket closed first, which wakes it.
enum CloseStep { CLOSE_SOCKET, DEACTIVATE, WAKE_SURVEYOR, JOIN, DONE };

const CloseStep kCloseSender[] = {CLOSE_SOCKET, DEACTIVATE, DONE};
const CloseStep kCloseServer[] = {DEACTIVATE, JOIN, CLOSE_SOCKET, DONE};
const CloseStep kCloseSubscriber[] = {CLOSE_SOCKET, DEACTIVATE, JOIN, DONE};
const CloseStep kCloseSurveyor[] = {CLOSE_SOCKET, DEACTIVATE, WAKE_SURVEYOR, JOIN, DONE};
const CloseStep kCloseRespondent[] = {DEACTIVATE, CLOSE_SOCKET, JOIN, DONE};

const CloseStep *closePlan(EndpointKind kind)
{
    switch (kind) {
    case IPC_KIND_PULL_SERVER:
    case IPC_KIND_LOG_SERVER:
    case IPC_KIND_REPLY_SERVER:
        return kCloseServer;
    case IPC_KIND_SUBSCRIBER:
        return kCloseSubscriber;
    case IPC_KIND_SURVEYOR:
        return kCloseSurveyor;
    case IPC_KIND_RESPONDENT:
        return kCloseRespondent;
    default:
        return kCloseSender;
    }
}

IpcStatus openChecked(EndpointKind kind, const char *peer, bool haveHandler,
                      EndpointHandler handler, const OpenOptions &opt = {})
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if ((!ipcKindInfo(kind)->binds && !peer) || !haveHandler)
        return IPC_BAD_ARGUMENT;
    return openEndpoint(kind, peer, handler, opt);
}

IpcStatus closeChecked(EndpointKind kind, const char *peer)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!ipcKindInfo(kind)->binds && !peer)
        return IPC_BAD_ARGUMENT;
    return closeEndpoint(kind, peer);
}

// The push time-out is stored before the directory is asked, so it holds
// even when the endpoint was already open.
IpcStatus openPush(EndpointKind kind, const char *peer, int sendTimeoutMs,
                   std::atomic<int> &timeout)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || sendTimeoutMs < 0)
        return IPC_BAD_ARGUMENT;
    timeout.store(sendTimeoutMs);
    return openEndpoint(kind, peer, EndpointHandler{}, {});
}

EndpointHandler withMessage(IpcMessageHandler h)
{
    EndpointHandler u{};
    u.message = h;
    return u;
}

}  // namespace

IpcStatus openEndpoint(EndpointKind kind, const char *peer, EndpointHandler handler,
                       const OpenOptions &opt)
{
    const KindInfo *k = ipcKindInfo(kind);
    EndpointEntry *e = nullptr;
    IpcStatus rc = _IPC_ListAdd(k->binds ? gIpcOwnName : peer, kind, &e);
    if (rc != IPC_OK)
        return rc;
    // On failure the entry stays in the directory, inactive: lookups skip
    // it, a later open makes a new one, IPC_Deinit frees it.
    rc = connectEntry(e, k, handler, opt);
    openFinished(e);
    return rc;
}

IpcStatus closeClaimed(EntryRef ref)
{
    EndpointEntry *e = ref.get();
    // A handler closing its own endpoint would wait for itself.
    if (e->receiver.get_id() == std::this_thread::get_id()) {
        releaseClaim(e);
        return IPC_BAD_ARGUMENT;
    }
    for (const CloseStep *step = closePlan(e->kind); *step != DONE; ++step) {
        switch (*step) {
        case CLOSE_SOCKET:
            if (nn_close(e->socket.load()) != 0) {
                releaseClaim(e);
                return IPC_FAILURE;
            }
            e->socket.store(-1);
            break;
        case DEACTIVATE:
            e->active.store(false);
            break;
        case WAKE_SURVEYOR:
            surveyWake(false);
            break;
        case JOIN:
            joinReceiver(e);
            break;
        case DONE:
            break;
        }
    }
    unlinkAndFree(std::move(ref));
    return IPC_OK;
}

IpcStatus closeEndpoint(EndpointKind kind, const char *peer)
{
    const KindInfo *k = ipcKindInfo(kind);
    EntryRef ref = claimForClose(kind, k->binds ? gIpcOwnName : peer);
    if (!ref)
        return IPC_NO_ENDPOINT;
    return closeClaimed(std::move(ref));
}

// ---- The operations, one pair per kind --------------------------------------

IpcStatus IPC_OpenPush(const char *peer, int sendTimeoutMs)
{
    return openPush(IPC_KIND_PUSH, peer, sendTimeoutMs, gPushTimeoutMs);
}

IpcStatus IPC_ClosePush(const char *peer)
{
    return closeChecked(IPC_KIND_PUSH, peer);
}

IpcStatus IPC_OpenPullServer(IpcMessageHandler handler)
{
    return openChecked(IPC_KIND_PULL_SERVER, nullptr, handler, withMessage(handler));
}

IpcStatus IPC_ClosePullServer()
{
    return closeChecked(IPC_KIND_PULL_SERVER, nullptr);
}

IpcStatus IPC_OpenLogPush(const char *peer, int sendTimeoutMs)
{
    return openPush(IPC_KIND_LOG_PUSH, peer, sendTimeoutMs, gLogPushTimeoutMs);
}

IpcStatus IPC_CloseLogPush(const char *peer)
{
    return closeChecked(IPC_KIND_LOG_PUSH, peer);
}

IpcStatus IPC_OpenLogServer(IpcMessageHandler handler)
{
    return openChecked(IPC_KIND_LOG_SERVER, nullptr, handler, withMessage(handler));
}

IpcStatus IPC_CloseLogServer()
{
    return closeChecked(IPC_KIND_LOG_SERVER, nullptr);
}

IpcStatus IPC_OpenRequester(const char *peer, int replyTimeoutMs)
{
    OpenOptions opt;
    opt.storeTimeout = &gReplyTimeoutMs;
    opt.timeoutMs = replyTimeoutMs;
    // A negative time-out would make every request wait without bound.
    return openChecked(IPC_KIND_REQUESTER, peer, replyTimeoutMs >= 0, EndpointHandler{}, opt);
}

IpcStatus IPC_CloseRequester(const char *peer)
{
    return closeChecked(IPC_KIND_REQUESTER, peer);
}

IpcStatus IPC_OpenReplyServer(IpcReplyHandler handler)
{
    EndpointHandler u{};
    u.reply = handler;
    return openChecked(IPC_KIND_REPLY_SERVER, nullptr, handler, u);
}

IpcStatus IPC_CloseReplyServer()
{
    return closeChecked(IPC_KIND_REPLY_SERVER, nullptr);
}

IpcStatus IPC_OpenPublisher()
{
    return openChecked(IPC_KIND_PUBLISHER, nullptr, true, EndpointHandler{});
}

IpcStatus IPC_ClosePublisher()
{
    return closeChecked(IPC_KIND_PUBLISHER, nullptr);
}

IpcStatus IPC_OpenSurveyor(IpcMessageHandler handler, int deadlineMs)
{
    OpenOptions opt;
    opt.surveyDeadlineMs = deadlineMs;
    // The deadline is also the receiver's poll time-out: a negative one
    // would poll without bound while holding the entry lock.
    return openChecked(IPC_KIND_SURVEYOR, nullptr, handler && deadlineMs >= 0,
                       withMessage(handler), opt);
}

IpcStatus IPC_SetSurveyDeadline(int deadlineMs)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (deadlineMs < 0)
        return IPC_BAD_ARGUMENT;
    EntryRef e = acquireEntry(IPC_KIND_SURVEYOR, gIpcOwnName);
    if (!e)
        return IPC_NO_ENDPOINT;
    gSurveyDeadlineMs.store(deadlineMs);
    if (nn_setsockopt(e->socket.load(), NN_SURVEYOR, NN_SURVEYOR_DEADLINE, &deadlineMs,
                      sizeof deadlineMs) != 0)
        return IPC_FAILURE;
    return IPC_OK;
}

IpcStatus IPC_CloseSurveyor()
{
    return closeChecked(IPC_KIND_SURVEYOR, nullptr);
}

IpcStatus IPC_OpenRespondent(const char *peer, IpcRespondentHandler handler)
{
    EndpointHandler u{};
    u.respondent = handler;
    return openChecked(IPC_KIND_RESPONDENT, peer, handler, u);
}

IpcStatus IPC_CloseRespondent(const char *peer)
{
    return closeChecked(IPC_KIND_RESPONDENT, peer);
}
