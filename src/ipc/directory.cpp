// The directory of open endpoints: a circular doubly linked list with a
// static sentinel, newest entry first, at most one active entry per kind and
// key name.
//
// A reader-writer lock guards the links, the opening/closing marks and the
// subscriber topic slots. It is held only for walks and small updates, never
// across a blocking call; a thread that uses an entry after the walk pins it
// with a use count, and the entry is freed only when that count is zero.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>

#include <condition_variable>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct Directory {
    EndpointEntry sentinel;
    std::shared_mutex lock;
    Directory() { sentinel.next = sentinel.prev = &sentinel; }
};

Directory gDir;

// Wakes a closer that waits for the last user of an entry.
std::mutex gUsersLock;
std::condition_variable gUsersGone;

bool keyMatches(const EndpointEntry *e, const char *name)
{
    const KindInfo *k = ipcKindInfo(e->kind);
    const char *key = k->binds ? gIpcOwnName : e->peer;
    return key && name && std::strcmp(key, name) == 0;
}

template <class F> void forEachEntry(F f)
{
    for (EndpointEntry *e = gDir.sentinel.next; e != &gDir.sentinel; e = e->next)
        f(e);
}

EntryRef pin(EndpointEntry *e)
{
    if (!e)
        return EntryRef();
    e->users.fetch_add(1);
    return EntryRef(e);
}

}  // namespace

std::shared_mutex &ipcDirectoryLock()
{
    return gDir.lock;
}

EndpointEntry *_IPC_ListGet(EndpointKind kind, const char *name)
{
    if (!ipcKindInfo(kind))
        return nullptr;
    for (EndpointEntry *e = gDir.sentinel.next; e != &gDir.sentinel; e = e->next)
        if (e->kind == kind && e->active.load() && keyMatches(e, name))
            return e;
    return nullptr;
}

IpcStatus _IPC_ListAdd(const char *name, EndpointKind kind, EndpointEntry **out)
{
    std::unique_lock<std::shared_mutex> g(gDir.lock);
    const KindInfo *k = ipcKindInfo(kind);
    if (!k)
        return IPC_FAILURE;
    // An entry still being opened counts as present, so two threads opening
    // the same endpoint never end up with two active entries.
    for (EndpointEntry *e = gDir.sentinel.next; e != &gDir.sentinel; e = e->next)
        if (e->kind == kind && (e->active.load() || e->opening) && keyMatches(e, name))
            return IPC_ALREADY_PRESENT;

    int s = nn_socket(k->domain, k->protocol);
    if (s < 0)
        return IPC_FAILURE;
    auto *e = new (std::nothrow) EndpointEntry;
    if (!e) {
        nn_close(s);
        return IPC_FAILURE;
    }
    e->kind = kind;
    e->socket.store(s);
    e->opening = true;
    if (!k->binds)
        e->peer = name;

    e->next = gDir.sentinel.next;
    e->prev = &gDir.sentinel;
    gDir.sentinel.next->prev = e;
    gDir.sentinel.next = e;
    *out = e;
    return IPC_OK;
}

void openFinished(EndpointEntry *e)
{
    std::unique_lock<std::shared_mutex> g(gDir.lock);
    e->opening = false;
}

bool ipcListEmpty()
{
    std::shared_lock<std::shared_mutex> g(gDir.lock);
    return gDir.sentinel.next == &gDir.sentinel;
}

bool ipcAnySubscription()
{
    std::shared_lock<std::shared_mutex> g(gDir.lock);
    bool found = false;
    forEachEntry([&](EndpointEntry *e) {
        if (e->kind != IPC_KIND_SUBSCRIBER || !e->active.load())
            return;
        for (const TopicSlot &t : e->topics)
            found = found || t.used;
    });
    return found;
}

EntryRef &EntryRef::operator=(EntryRef &&o) noexcept
{
    if (this != &o) {
        reset();
        e_ = o.e_;
        o.e_ = nullptr;
    }
    return *this;
}

void EntryRef::reset()
{
    if (!e_)
        return;
    // Once the count reaches zero a closer may free the entry at once: only
    // the process-wide wake-up is touched afterwards.
    if (e_->users.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> l(gUsersLock);
        gUsersGone.notify_all();
    }
    e_ = nullptr;
}

EntryRef acquireEntry(EndpointKind kind, const char *name)
{
    std::shared_lock<std::shared_mutex> g(gDir.lock);
    return pin(_IPC_ListGet(kind, name));
}

EntryRef claimLocked(EndpointEntry *e)
{
    // An entry still being opened is not the closer's yet: its opener is
    // about to store the receiver thread.
    if (!e || e->closing || e->opening)
        return EntryRef();
    e->closing = true;
    return pin(e);
}

EntryRef claimForClose(EndpointKind kind, const char *name)
{
    std::unique_lock<std::shared_mutex> g(gDir.lock);
    return claimLocked(_IPC_ListGet(kind, name));
}

void releaseClaim(EndpointEntry *e)
{
    std::unique_lock<std::shared_mutex> g(gDir.lock);
    e->closing = false;
}

void unlinkAndFree(EntryRef ref)
{
    EndpointEntry *e = ref.get();
    {
        std::unique_lock<std::shared_mutex> g(gDir.lock);
        e->prev->next = e->next;
        e->next->prev = e->prev;
    }
    ref.reset();
    // Unlinked, so no new user can come. Those still inside an operation
    // were woken by the close of the socket and leave within their bound.
    {
        std::unique_lock<std::mutex> l(gUsersLock);
        gUsersGone.wait(l, [e] { return e->users.load() == 0; });
    }
    delete e;
}

EntryLock::EntryLock(EndpointEntry *e) : e_(e)
{
    // The receiver thread re-takes the lock right after releasing it; the
    // count tells it to step aside until this thread has the lock.
    e->lockWaiters.fetch_add(1);
    e->lock.lock();
    e->lockWaiters.fetch_sub(1);
}

// Closing everything, in two passes so that every receiver is stopped and
// every socket closed before the first thread is joined.
IpcStatus _IPC_ListFree()
{
    std::vector<EntryRef> entries;
    {
        std::unique_lock<std::shared_mutex> g(gDir.lock);
        // Room for every entry first, so that out of memory marks none of
        // them as closing.
        size_t count = 0;
        forEachEntry([&](EndpointEntry *) { count++; });
        try {
            entries.reserve(count);
        } catch (const std::bad_alloc &) {
            return IPC_FAILURE;
        }
        forEachEntry([&](EndpointEntry *e) {
            if (!e->closing) {  // one being closed elsewhere is left to its closer
                e->closing = true;
                entries.push_back(pin(e));
            }
        });
    }

    // Pass 1, newest first: stop every receiver (all at once, so that their
    // polls run out together), then wait for each one's message in hand and
    // close its socket.
    for (EntryRef &ref : entries)
        ref->active.store(false);
    for (EntryRef &ref : entries) {
        EndpointEntry *e = ref.get();
        EntryLock l(e);
        if (e->socket.load() < 0)
            continue;  // closed by an earlier, interrupted pass
        // After nn_term nanomsg has closed every socket itself.
        if (nn_close(e->socket.load()) != 0 && !gIpcTerminated.load()) {
            // The layer stays initialised; a later IPC_Deinit starts over
            // and skips the sockets already closed.
            for (EntryRef &r : entries)
                releaseClaim(r.get());
            return IPC_FAILURE;
        }
        e->socket.store(-1);
    }

    // Pass 2: join, unlink, free.
    for (EntryRef &ref : entries) {
        EndpointEntry *e = ref.get();
        if (e->kind == IPC_KIND_SURVEYOR)
            surveyWake(false);
        joinReceiver(e);
        unlinkAndFree(std::move(ref));
    }
    gIpcInitialised.store(false);
    return IPC_OK;
}
