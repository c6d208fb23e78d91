// Inside the messaging layer: layer state, the endpoint directory and the
// helpers its files share. Not for users of the layer.
#pragma once

#include "ipc/ipc.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

// ---- Layer state -------------------------------------------------------------

extern std::atomic<bool> gIpcInitialised;
extern std::atomic<bool> gIpcTerminated;  // nn_term ran: sockets are gone
extern int gIpcOwnId;
extern const char *gIpcOwnName;

extern std::atomic<int> gReplyTimeoutMs;
extern std::atomic<int> gPushTimeoutMs;
extern std::atomic<int> gLogPushTimeoutMs;
extern std::atomic<int> gSurveyDeadlineMs;

// Receive time-outs of the receiver threads: how long one pass polls, and so
// how long a close waits for its receiver to notice.
enum {
    IPC_REPLY_SERVER_TIMEOUT_MS = 1000,
    IPC_RESPONDENT_TIMEOUT_MS = 1000,
    IPC_PULL_TIMEOUT_MS = 1000,
    IPC_SUBSCRIBER_TIMEOUT_MS = 1000,
    IPC_DEFAULT_SURVEY_DEADLINE_MS = 1000,
};

// ---- Kinds -----------------------------------------------------------------

struct KindInfo {
    int protocol;           // NN_PUSH, NN_PULL, ...
    int domain;             // AF_SP, or AF_SP_RAW where the layer does the protocol's part
    bool binds;             // keyed by the own name, else by the peer name
    const char *word;       // kind word of the address
    bool hasReceiver;
};

// Info of kinds 2..11, null for anything else.
const KindInfo *ipcKindInfo(int kind);

// ---- Endpoint directory ------------------------------------------------------

enum { IPC_TOPIC_SLOTS = 10 };

struct TopicSlot {
    uint8_t used;
    uint16_t topic;
};

union EndpointHandler {
    IpcSubscriberHandler subscriber;
    IpcMessageHandler message;
    IpcReplyHandler reply;
    IpcRespondentHandler respondent;
};

struct EndpointEntry {
    // Set once the bind or connect succeeded, cleared when closing starts.
    // Receiver threads run while it is set; lookups skip inactive entries.
    std::atomic<bool> active{false};
    EndpointKind kind;
    // -1 once closed, so that a late user fails instead of reaching a
    // socket that nanomsg handed out again.
    std::atomic<int> socket{-1};

    // Held by the receiver thread while it polls and handles one message,
    // and by IPC_Respond and IPC_Deinit while they use the socket. Take it
    // from outside with EntryLock, which makes the receiver hand it over.
    std::mutex lock;
    std::atomic<int> lockWaiters{0};

    const char *peer = nullptr;          // connecting kinds
    EndpointHandler handler{};
    std::thread receiver;
    TopicSlot topics[IPC_TOPIC_SLOTS]{}; // subscriber; under the directory lock

    // Under the directory lock: being opened (counts as present for a second
    // open), being closed (claimed by one closer).
    bool opening = false;
    bool closing = false;

    // Threads using the entry outside the directory lock (EntryRef); the
    // entry is freed only when none is left.
    std::atomic<int> users{0};

    EndpointEntry *next = nullptr;
    EndpointEntry *prev = nullptr;
};

// The first active entry of `kind` whose key equals `name` (the peer name
// for connecting kinds, the own name for binding kinds). The caller holds
// the directory lock; the pointer is valid only while it does.
EndpointEntry *_IPC_ListGet(EndpointKind kind, const char *name);

// Creates an inactive entry with its socket and links it in, newest first.
// 7 when an entry of that kind and key is active or being opened (out is
// not written), 1 for a bad kind or when nn_socket fails. The new entry is
// marked as being opened until openFinished().
IpcStatus _IPC_ListAdd(const char *name, EndpointKind kind, EndpointEntry **out);

// Closes every socket, joins every receiver thread and frees every entry.
IpcStatus _IPC_ListFree();

// Whether the directory is empty.
bool ipcListEmpty();

// Whether some active subscriber entry has a used topic slot.
bool ipcAnySubscription();

// Ends the opening state of an entry made by _IPC_ListAdd (it stays in the
// directory whether or not it became active).
void openFinished(EndpointEntry *e);

// A lookup that keeps the entry alive after the directory lock is released:
// the entry is not freed while a reference exists. Never held by the entry's
// own receiver thread.
class EntryRef {
public:
    EntryRef() = default;
    explicit EntryRef(EndpointEntry *e) : e_(e) {}
    EntryRef(EntryRef &&o) noexcept : e_(o.e_) { o.e_ = nullptr; }
    EntryRef &operator=(EntryRef &&o) noexcept;
    EntryRef(const EntryRef &) = delete;
    EntryRef &operator=(const EntryRef &) = delete;
    ~EntryRef() { reset(); }

    void reset();
    EndpointEntry *get() const { return e_; }
    EndpointEntry *operator->() const { return e_; }
    explicit operator bool() const { return e_ != nullptr; }

private:
    EndpointEntry *e_ = nullptr;
};

EntryRef acquireEntry(EndpointKind kind, const char *name);

// Claims the active entry of `kind` and `name` for closing, so that only one
// closer acts on it; an empty reference when there is none (or it is still
// being opened).
EntryRef claimForClose(EndpointKind kind, const char *name);
// The same for an entry found by the caller, who holds the directory lock
// exclusively.
EntryRef claimLocked(EndpointEntry *e);
// Gives a claim back after a failed close; the entry stays where it is.
void releaseClaim(EndpointEntry *e);
// Unlinks a claimed entry, waits until no one else uses it and frees it.
void unlinkAndFree(EntryRef ref);

// Takes the entry lock from outside the receiver thread.
class EntryLock {
public:
    explicit EntryLock(EndpointEntry *e);
    ~EntryLock() { e_->lock.unlock(); }
    EntryLock(const EntryLock &) = delete;
    EntryLock &operator=(const EntryLock &) = delete;

private:
    EndpointEntry *e_;
};

// ---- Opening and closing -----------------------------------------------------

struct OpenOptions {
    std::atomic<int> *storeTimeout = nullptr;  // set after the entry exists
    int timeoutMs = 0;
    int surveyDeadlineMs = -1;                 // surveyor
    int topic = -1;                            // subscriber's first topic
};

// Common open steps after the argument checks.
IpcStatus openEndpoint(EndpointKind kind, const char *peer, EndpointHandler handler,
                       const OpenOptions &opt);

// Common close steps for every kind (the order depends on the kind).
IpcStatus closeEndpoint(EndpointKind kind, const char *peer);
IpcStatus closeClaimed(EntryRef ref);

// ---- Receiving, surveys, events ------------------------------------------------

// Starts the receiver thread of an entry. False when it could not be made.
bool startReceiver(EndpointEntry *e);
void joinReceiver(EndpointEntry *e);

// Wakes a surveyor's receiver that sleeps between surveys: after a survey
// went out, or when its entry is being closed.
void surveyWake(bool surveySent);

// A subscriber received an event: ends a matching IPC_WaitEvent.
void eventOffered(const EventHeader *hdr);
// Clears the criteria of IPC_WaitEvent (IPC_Init).
void ipcEventReset();

// Stops and joins the worker of IPC_RequestAsync and frees what it queued.
void asyncRequestStop();

// ---- Small helpers -------------------------------------------------------------

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Sends header + payload as one message: 0, or 1 when out of memory or
// nanomsg did not take it (errno tells why).
IpcStatus sendMessage(int socket, const void *hdr, int hdrSize, const void *payload, int len,
                      int flags);

// A negative length, or a null payload with a non-zero length.
bool badPayload(const void *payload, int len);

// ---- Directory lock ----------------------------------------------------------

std::shared_mutex &ipcDirectoryLock();

// Runs `f` under the directory's exclusive lock (topic slots, claims).
template <class F> auto withDirectoryWriteLock(F f) -> decltype(f())
{
    std::unique_lock<std::shared_mutex> g(ipcDirectoryLock());
    return f();
}

