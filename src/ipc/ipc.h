// The messaging layer between the appliance's processes, over nanomsg.
//
// Every process that uses it has a small numeric id and a short name
// ("Mif", "Mcl", "SvDaemon", "LoggerD", "NetLinkD"). A process binds the
// endpoints it owns (its "Reply", "Publish", "Survey", "Pull" and "Log"
// sockets) and connects to the endpoints its peers own. Both ends of every
// channel are built from this library, so the daemon and the appliance
// simulator share it.
//
// Every operation returns an IpcStatus. Names passed in (own name, peer
// names) are kept as pointers, not copied: they must outlive their use
// (string literals in practice).
#pragma once

#include <cstdint>

enum IpcStatus : int {
    IPC_OK = 0,
    IPC_FAILURE = 1,            // socket, bind, connect, send, receive, poll,
                                // memory or thread creation failed
    IPC_QUEUE_FULL = 2,         // IPC_RequestAsync: no free slot
    IPC_BAD_ARGUMENT = 3,       // null name, handler or header; null payload
                                // with a non-zero length
    IPC_NOT_INITIALISED = 4,
    IPC_ALREADY_INITIALISED = 5,
    IPC_NO_ENDPOINT = 6,        // no active endpoint of that kind and name
    IPC_ALREADY_PRESENT = 7,    // endpoint already open, topic already taken
    IPC_TERMINATED = 8,         // IPC_Term
    IPC_TIMEOUT = 9,
};

// What an endpoint does. Kinds 0 and 1 are not used.
enum EndpointKind : int32_t {
    IPC_KIND_PUSH = 2,          // push to a peer's "Pull" socket (connects)
    IPC_KIND_PULL_SERVER = 3,   // own "Pull" socket (binds)
    IPC_KIND_LOG_PUSH = 4,      // push to a peer's "Log" socket (connects)
    IPC_KIND_LOG_SERVER = 5,    // own "Log" socket (binds)
    IPC_KIND_REQUESTER = 6,     // requests to a peer's "Reply" socket
    IPC_KIND_REPLY_SERVER = 7,  // own "Reply" socket (binds)
    IPC_KIND_PUBLISHER = 8,     // own "Publish" socket (binds)
    IPC_KIND_SUBSCRIBER = 9,    // to a peer's "Publish" socket (connects)
    IPC_KIND_SURVEYOR = 10,     // own "Survey" socket (binds)
    IPC_KIND_RESPONDENT = 11,   // to a peer's "Survey" socket (connects)
};

// Message headers. Every message is one of these directly followed by its
// payload; the payload length is the message length minus the header size.
// Fields are in host byte order and copied as raw bytes.

struct RequestHeader {          // requester -> reply server
    uint32_t senderId;          // written by the layer
    uint32_t requestCode;
    uint32_t transaction;       // echoed in the reply
    uint8_t replace;            // IPC_RequestAsync: replace a waiting request
                                // to the same peer with the same code
    uint8_t reserved[3];
};

struct ReplyHeader {            // reply server -> requester
    uint32_t replierId;
    uint32_t transaction;
    uint32_t status;            // 0 success; the requester writes 2 itself
                                // when no reply came in time
};

struct PushHeader {             // push -> "Pull" socket
    uint32_t senderId;          // written by the layer
    uint32_t code;
};

struct LogHeader {              // log push -> "Log" socket
    uint32_t senderId;          // written by the layer
    uint32_t zero;
    uint32_t kind;
    uint32_t level;
    uint32_t timestampLow;      // microseconds of the monotonic clock,
    uint32_t timestampHigh;     // low word first
};

struct EventHeader {            // publisher -> subscribers
    uint16_t topic;             // subscriptions match exactly these bytes
    uint16_t unused;
    uint32_t eventId;
};

struct SurveyHeader {           // surveyor -> respondents
    uint32_t surveyorId;
    uint32_t surveyCode;
};

struct ResponseHeader {         // respondent -> surveyor
    uint32_t respondentId;      // written by the layer
    uint32_t responseWord;
    uint32_t surveyCode;        // copied from the survey by the layer
    uint32_t status;            // IPC_RESPONSE_DEFERRED: nothing is sent
};

// A respondent handler that sets this status sends no response now; it may
// answer later with IPC_Respond.
enum { IPC_RESPONSE_DEFERRED = 6 };

static_assert(sizeof(RequestHeader) == 16);
static_assert(sizeof(ReplyHeader) == 12);
static_assert(sizeof(PushHeader) == 8);
static_assert(sizeof(LogHeader) == 24);
static_assert(sizeof(EventHeader) == 8);
static_assert(sizeof(SurveyHeader) == 8);
static_assert(sizeof(ResponseHeader) == 16);

inline void logHeaderSetTimestamp(LogHeader *h, uint64_t us)
{
    h->timestampLow = static_cast<uint32_t>(us);
    h->timestampHigh = static_cast<uint32_t>(us >> 32);
}

inline uint64_t logHeaderTimestamp(const LogHeader *h)
{
    return (static_cast<uint64_t>(h->timestampHigh) << 32) | h->timestampLow;
}

// Handlers run on the receiver thread of their endpoint. `msg` is the whole
// message, header included; `payload` points just behind the header or is
// null when the message is only the header; `len` is the payload length.
// A handler must not open or close endpoints, nor call IPC_Respond for the
// endpoint it serves (its thread holds that endpoint's lock).

// Subscriber: len is the payload length modulo 256.
typedef void (*IpcSubscriberHandler)(const void *msg, const void *payload, uint8_t len);

// Pull server, log server, and the surveyor (once per response).
typedef void (*IpcMessageHandler)(const void *msg, const void *payload, int len);

// Reply server and respondent compose an answer: the out header starts
// zeroed and *outPayload / *outLen start as null / 0. A payload handed back
// must come from malloc; the layer frees it after sending. The reply carries
// outHdr->status; the response carries outHdr->responseWord and
// outHdr->status (IPC_RESPONSE_DEFERRED: send nothing now).
typedef void (*IpcReplyHandler)(const void *msg, const void *payload, int len,
                                ReplyHeader *outHdr, void **outPayload, int *outLen);
typedef void (*IpcRespondentHandler)(const void *msg, const void *payload, int len,
                                     ResponseHeader *outHdr, void **outPayload, int *outLen);

// ---- Layer -----------------------------------------------------------------

// Registers this process. 5 when already initialised, 3 for a null name.
IpcStatus IPC_Init(int ownId, const char *ownName);

// Closes every endpoint, joins every thread of the layer and frees what it
// holds. 0 on success, 4 when not initialised, 1 when a socket would not
// close (the layer then stays initialised).
IpcStatus IPC_Deinit();

// Ends nanomsg for the whole process (every blocked and later nanomsg call
// fails), then releases the layer like IPC_Deinit. 8 on success. Only for
// the very end of a process: nanomsg cannot be used again afterwards.
IpcStatus IPC_Term();

// ---- Opening and closing endpoints -------------------------------------------
// Open: 4 not initialised, 3 null name or handler, 7 already open, 1 when
// the socket, bind, connect, an option or the receiver thread failed.
// Close: 4, 3, 6 when no such endpoint is open, 1 when nn_close failed.

// The push time-out bounds the wait for a peer to take a push; 0 waits
// without bound. It is one value for all pushes of the process and is stored
// even when the endpoint is already open.
IpcStatus IPC_OpenPush(const char *peer, int sendTimeoutMs);
IpcStatus IPC_ClosePush(const char *peer);
IpcStatus IPC_OpenPullServer(IpcMessageHandler handler);
IpcStatus IPC_ClosePullServer();

// As IPC_OpenPush for the peer's "Log" socket, with its own time-out.
IpcStatus IPC_OpenLogPush(const char *peer, int sendTimeoutMs);
IpcStatus IPC_CloseLogPush(const char *peer);
IpcStatus IPC_OpenLogServer(IpcMessageHandler handler);
IpcStatus IPC_CloseLogServer();

// The reply time-out bounds every IPC_Request of the process; each
// successful open sets it. A requester has no handler: replies go back to
// the caller of IPC_Request.
IpcStatus IPC_OpenRequester(const char *peer, int replyTimeoutMs);
IpcStatus IPC_CloseRequester(const char *peer);
IpcStatus IPC_OpenReplyServer(IpcReplyHandler handler);
IpcStatus IPC_CloseReplyServer();

IpcStatus IPC_OpenPublisher();
IpcStatus IPC_ClosePublisher();

// The deadline is how long the surveyor collects responses to one survey.
IpcStatus IPC_OpenSurveyor(IpcMessageHandler handler, int deadlineMs);
IpcStatus IPC_SetSurveyDeadline(int deadlineMs);
IpcStatus IPC_CloseSurveyor();

IpcStatus IPC_OpenRespondent(const char *peer, IpcRespondentHandler handler);
IpcStatus IPC_CloseRespondent(const char *peer);

// One subscriber endpoint per peer serves up to 10 topics with the handler
// of its first subscription. Subscribe: 7 when the topic is already
// subscribed, 1 when all 10 slots are taken. Unsubscribing the last topic
// closes the endpoint.
IpcStatus IPC_Subscribe(const char *peer, uint16_t topic, IpcSubscriberHandler handler);
IpcStatus IPC_Unsubscribe(const char *peer, uint16_t topic);

// ---- Sending -----------------------------------------------------------------

// Sends a request to the peer's reply server and waits up to the reply
// time-out for the answer. One request is outstanding per process at a time.
// Writes the own id into hdr. On 0 the reply header is in outHdr and, when
// the reply has a payload and outPayload is given, a malloc'd copy in
// *outPayload with its length in *outLen (otherwise both are left alone).
// 9 when no reply came in time (outHdr->status is then 2); never waits
// longer than the reply time-out, also when the peer is not running.
// The request leaves only while the peer is connected (a peer that connects
// within the time-out still gets it) and is never sent again; only the reply
// to this very request is taken, so a late or duplicated reply to an earlier
// one is dropped.
IpcStatus IPC_Request(const char *peer, RequestHeader *hdr, const void *payload, int len,
                      ReplyHeader *outHdr, void **outPayload, int *outLen);

// For a caller that gives a request up for good. The requester keeps no
// request once IPC_Request has returned, so nothing can carry it out later;
// replies that came after their request gave up are read and dropped. The
// endpoint stays open. 6 when no requester to the peer is open.
IpcStatus IPC_DropRequest(const char *peer);

// Push to the peer's "Pull" / "Log" socket; the own id goes into hdr. 9 when
// the peer did not take it within the push time-out.
IpcStatus IPC_Push(const char *peer, PushHeader *hdr, const void *payload, int len);
IpcStatus IPC_PushLog(const char *peer, LogHeader *hdr, const void *payload, int len);

// On the own publisher; the header is sent unchanged.
IpcStatus IPC_Publish(const EventHeader *hdr, const void *payload, int len);

// On the own surveyor; the payload may not be null, even with length 0.
IpcStatus IPC_Survey(SurveyHeader hdr, const void *payload, int len);

// Answers the current survey of the peer's surveyor outside the receiver
// thread (after the respondent handler returned status 6).
IpcStatus IPC_Respond(const char *peer, ResponseHeader hdr, const void *payload, int len);

// Queues a request for the layer's worker thread, which sends it with
// IPC_Request and discards the reply. 2 when 49 requests already wait. With
// hdr->replace set, a waiting request to the same peer with the same code is
// replaced instead.
IpcStatus IPC_RequestAsync(const char *peer, const RequestHeader *hdr, const void *payload,
                           int len);

// ---- Waiting for an event ------------------------------------------------------

// Blocks until a subscribed event with this topic and (id & mask) ==
// (value & mask) arrives, or IPC_SignalEvent is called: 0. 9 when timeoutMs
// (0: no limit) passed first, measured on the monotonic clock; 6 when no
// subscription is active. One waiter at a time.
IpcStatus IPC_WaitEvent(int topic, int value, int mask, unsigned timeoutMs);
IpcStatus IPC_SignalEvent();
