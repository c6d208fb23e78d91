// Receiver threads: one per endpoint that receives unsolicited traffic. Each
// pass polls the socket under the entry lock, hands a message to the
// endpoint's handler and, for reply servers and respondents, sends the
// answer the handler composed. A thread notices that its entry was
// deactivated within one poll time-out.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <system_error>

namespace {

struct ReceiveParams {
    short events;
    int timeoutMs;       // -1: the survey deadline
    int headerSize;
    bool receiveAlways;  // receive after every poll, whatever it reported
};

// The respondent polls for input only: after a survey it did not answer
// (status 6) its socket stays writable until IPC_Respond, and polling for
// that would turn the loop into a busy wait.
ReceiveParams paramsOf(EndpointKind kind)
{
    switch (kind) {
    case IPC_KIND_REPLY_SERVER:
        return {NN_POLLIN, IPC_REPLY_SERVER_TIMEOUT_MS, sizeof(RequestHeader), false};
    case IPC_KIND_RESPONDENT:
        return {NN_POLLIN, IPC_RESPONDENT_TIMEOUT_MS, sizeof(SurveyHeader), false};
    case IPC_KIND_SUBSCRIBER:
        return {NN_POLLIN, IPC_SUBSCRIBER_TIMEOUT_MS, sizeof(EventHeader), false};
    case IPC_KIND_PULL_SERVER:
        return {NN_POLLIN, IPC_PULL_TIMEOUT_MS, sizeof(PushHeader), true};
    case IPC_KIND_LOG_SERVER:
        return {NN_POLLIN, IPC_PULL_TIMEOUT_MS, sizeof(LogHeader), true};
    default:  // surveyor
        return {NN_POLLIN, -1, sizeof(ResponseHeader), true};
    }
}

struct NnMsgDeleter {
    void operator()(void *p) const { nn_freemsg(p); }
};

uint32_t wordAt(const char *msg, int offset)
{
    uint32_t w;
    std::memcpy(&w, msg + offset, sizeof w);
    return w;
}

void sendAnswer(EndpointEntry *e, const void *hdr, int hdrSize, void *payload, int len)
{
    // Failures are not reported: the requester or surveyor sees its time-out.
    (void)sendMessage(e->socket.load(), hdr, hdrSize, payload, payload && len > 0 ? len : 0,
                      NN_DONTWAIT);
}

void answerRequest(EndpointEntry *e, const char *msg, const char *payload, int len)
{
    ReplyHeader out{};
    void *outPayload = nullptr;
    int outLen = 0;
    e->handler.reply(msg, payload, len, &out, &outPayload, &outLen);
    MallocPtr<void> owned(outPayload);
    ReplyHeader reply{static_cast<uint32_t>(gIpcOwnId), wordAt(msg, 8), out.status};
    sendAnswer(e, &reply, sizeof reply, outPayload, outLen);
}

// The handler runs without the entry lock, so that it may take its time and
// IPC_Respond can answer meanwhile.
void answerSurvey(EndpointEntry *e, std::unique_lock<std::mutex> &lock, const char *msg,
                  const char *payload, int len)
{
    ResponseHeader out{};
    void *outPayload = nullptr;
    int outLen = 0;
    lock.unlock();
    e->handler.respondent(msg, payload, len, &out, &outPayload, &outLen);
    lock.lock();
    MallocPtr<void> owned(outPayload);
    if (out.status == IPC_RESPONSE_DEFERRED)
        return;
    ResponseHeader resp{static_cast<uint32_t>(gIpcOwnId), out.responseWord, wordAt(msg, 4),
                        out.status};
    sendAnswer(e, &resp, sizeof resp, outPayload, outLen);
}

enum PassResult { NOTHING, HANDLED, POLL_FAILED };

PassResult receiveOne(EndpointEntry *e, const ReceiveParams &p, std::unique_lock<std::mutex> &lock)
{
    int s = e->socket.load();
    nn_pollfd pfd{s, p.events, 0};
    int rc = nn_poll(&pfd, 1, p.timeoutMs >= 0 ? p.timeoutMs : gSurveyDeadlineMs.load());
    if (!p.receiveAlways && (rc <= 0 || !(pfd.revents & NN_POLLIN)))
        return rc < 0 ? POLL_FAILED : NOTHING;

    void *raw = nullptr;
    int n = nn_recv(s, &raw, NN_MSG, NN_DONTWAIT);
    if (n < 0)
        return rc < 0 ? POLL_FAILED : NOTHING;
    std::unique_ptr<void, NnMsgDeleter> held(raw);
    if (n < p.headerSize)
        return NOTHING;

    const char *msg = static_cast<const char *>(raw);
    int len = n - p.headerSize;
    const char *payload = len > 0 ? msg + p.headerSize : nullptr;
    switch (e->kind) {
    case IPC_KIND_REPLY_SERVER:
        answerRequest(e, msg, payload, len);
        break;
    case IPC_KIND_RESPONDENT:
        answerSurvey(e, lock, msg, payload, len);
        break;
    case IPC_KIND_SUBSCRIBER: {
        e->handler.subscriber(msg, payload, static_cast<uint8_t>(len));
        EventHeader hdr;
        std::memcpy(&hdr, msg, sizeof hdr);
        eventOffered(&hdr);
        break;
    }
    default:
        e->handler.message(msg, payload, len);
        break;
    }
    return HANDLED;
}

// Between surveys the surveyor sleeps instead of polling. A survey sent
// while it is still collecting the last one is remembered, not lost.
std::mutex gSurveyLock;
std::condition_variable gSurveyCond;
bool gSurveyPending = false;

void surveySleep(EndpointEntry *e)
{
    std::unique_lock<std::mutex> l(gSurveyLock);
    gSurveyCond.wait(l, [e] { return gSurveyPending || !e->active.load(); });
    gSurveyPending = false;
}

void receiverMain(EndpointEntry *e)
{
    const ReceiveParams p = paramsOf(e->kind);
    while (e->active.load()) {
        std::unique_lock<std::mutex> lock(e->lock);
        PassResult r = receiveOne(e, p, lock);
        lock.unlock();

        if (e->kind == IPC_KIND_SURVEYOR && r != HANDLED) {
            if (e->active.load())
                surveySleep(e);
            continue;
        }
        // A poll that fails at once (the socket is being closed) must not
        // turn into a busy loop. After a message the thread polls again at
        // once: a sleep, however short, lasts the timer slack (about 50 us),
        // and even a yield hands the core away, so the next request of a busy
        // requester would wait for the poll. A thread that wants the entry
        // lock is let in below either way.
        if (r != HANDLED)
            std::this_thread::sleep_for(r == POLL_FAILED ? std::chrono::microseconds(1000)
                                                         : std::chrono::microseconds(5));
        // Let a thread waiting for the entry lock (IPC_Respond, a close) in
        // before polling again.
        while (e->lockWaiters.load() > 0 && e->active.load())
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

}  // namespace

bool startReceiver(EndpointEntry *e)
{
    try {
        e->receiver = std::thread(receiverMain, e);
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

void joinReceiver(EndpointEntry *e)
{
    if (e->receiver.joinable())
        e->receiver.join();
}

void surveyWake(bool surveySent)
{
    std::lock_guard<std::mutex> l(gSurveyLock);
    if (surveySent)
        gSurveyPending = true;
    gSurveyCond.notify_all();
}
