// Queued requests: IPC_RequestAsync puts a request into a ring of 50 slots
// (49 usable) and a worker thread sends them one by one with IPC_Request,
// discarding the replies. The worker starts with the first queued request
// and is stopped and joined by IPC_Deinit and IPC_Term, which also free
// what is still queued.
//
// One mutex guards the ring and the worker sleeps on a condition with a
// predicate, so a request queued while the worker is about to sleep is not
// left waiting; the worker sends outside the lock, so queuing never waits
// for a request in flight.
#include "ipc/ipc_internal.h"

#include <condition_variable>
#include <cstring>
#include <system_error>

namespace {

enum { QUEUE_SLOTS = 50 };

struct QueuedRequest {
    RequestHeader hdr;
    const char *peer;
    void *payload;  // malloc'd copy
    int len;
};

struct RequestQueue {
    std::mutex lock;
    std::condition_variable wake;
    QueuedRequest slots[QUEUE_SLOTS];
    unsigned head = 0;  // next slot to write
    unsigned tail = 0;  // next slot to send
    bool started = false;
    bool stopping = false;
    std::thread worker;
};

RequestQueue gQueue;

unsigned nextSlot(unsigned i)
{
    return (i + 1) % QUEUE_SLOTS;
}

void workerMain()
{
    std::unique_lock<std::mutex> l(gQueue.lock);
    for (;;) {
        gQueue.wake.wait(l, [] { return gQueue.stopping || gQueue.head != gQueue.tail; });
        if (gQueue.stopping)
            return;
        QueuedRequest r = gQueue.slots[gQueue.tail];
        gQueue.slots[gQueue.tail].payload = nullptr;
        gQueue.tail = nextSlot(gQueue.tail);
        l.unlock();

        ReplyHeader reply{};
        void *replyPayload = nullptr;
        int replyLen = 0;
        IpcStatus status = IPC_Request(r.peer, &r.hdr, r.payload, r.len, &reply, &replyPayload, &replyLen);
        // Given up on: it must not be carried out when the peer comes back.
        if (status == IPC_TIMEOUT || status == IPC_FAILURE)
            (void)IPC_DropRequest(r.peer);
        std::free(replyPayload);
        std::free(r.payload);
        l.lock();
    }
}

// A heap copy of the payload; false when out of memory.
bool copyPayload(const void *payload, int len, void **out)
{
    *out = nullptr;
    if (len == 0)
        return true;
    *out = std::malloc(len);
    if (!*out)
        return false;
    std::memcpy(*out, payload, len);
    return true;
}

// Under the queue lock: a waiting request to the same peer with the same
// code, or null.
QueuedRequest *findWaiting(const char *peer, uint32_t code)
{
    for (unsigned i = gQueue.tail; i != gQueue.head; i = nextSlot(i)) {
        QueuedRequest &q = gQueue.slots[i];
        if (q.hdr.requestCode == code && std::strcmp(q.peer, peer) == 0)
            return &q;
    }
    return nullptr;
}

}  // namespace

IpcStatus IPC_RequestAsync(const char *peer, const RequestHeader *hdr, const void *payload,
                           int len)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || !hdr || badPayload(payload, len))
        return IPC_BAD_ARGUMENT;
    if (!acquireEntry(IPC_KIND_REQUESTER, peer))
        return IPC_NO_ENDPOINT;

    std::lock_guard<std::mutex> l(gQueue.lock);
    if (!gQueue.started) {
        gQueue.head = gQueue.tail = 0;
        gQueue.stopping = false;
        try {
            gQueue.worker = std::thread(workerMain);
        } catch (const std::system_error &) {
            return IPC_FAILURE;
        }
        gQueue.started = true;
    }

    // Replacing keeps the waiting request's place in the queue; its old
    // payload copy is freed.
    QueuedRequest *old = hdr->replace ? findWaiting(peer, hdr->requestCode) : nullptr;
    if (!old && nextSlot(gQueue.head) == gQueue.tail)
        return IPC_QUEUE_FULL;
    void *copy;
    if (!copyPayload(payload, len, &copy))
        return IPC_FAILURE;
    if (old) {
        std::free(old->payload);
        *old = QueuedRequest{*hdr, peer, copy, len};
        return IPC_OK;
    }
    gQueue.slots[gQueue.head] = QueuedRequest{*hdr, peer, copy, len};
    gQueue.head = nextSlot(gQueue.head);
    gQueue.wake.notify_one();
    return IPC_OK;
}

void asyncRequestStop()
{
    std::thread worker;
    {
        std::lock_guard<std::mutex> l(gQueue.lock);
        if (!gQueue.started)
            return;
        gQueue.stopping = true;
        gQueue.wake.notify_all();
        worker = std::move(gQueue.worker);
    }
    // The worker finishes the request in flight (at most one reply
    // time-out) and leaves the rest.
    worker.join();
    std::lock_guard<std::mutex> l(gQueue.lock);
    for (unsigned i = gQueue.tail; i != gQueue.head; i = nextSlot(i)) {
        std::free(gQueue.slots[i].payload);
        gQueue.slots[i].payload = nullptr;
    }
    gQueue.head = gQueue.tail = 0;
    gQueue.started = false;
    gQueue.stopping = false;
}
