// The synchronous request: one request outstanding per process, serialised
// by the request lock, answered within the reply time-out or given up.
//
// The requester is a raw request socket, and the layer does the request
// protocol's part itself: every request carries an id of its own in the
// protocol header, and only the reply that carries the same id is taken.
// A cooked request socket keeps an unanswered request and sends it again,
// on its resend interval and to a peer that connects anew, so a request
// its caller had reported as failed could be carried out much later; and
// closing one while a late reply sits in it aborts inside nanomsg. The raw
// socket keeps nothing: a request goes out only while a peer is connected,
// is never sent again, and whatever else arrives (the late reply to an
// earlier try, a duplicate, a reply without an id) is read and dropped.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"

namespace {

std::mutex gRequestLock;

// Under the request lock. Ids count up from 1 in 31 bits; the top bit marks
// the bottom of the reply server's backtrace, as the protocol wants it.
uint32_t gLastRequestId = 0;
constexpr uint32_t BACKTRACE_BOTTOM = 0x80000000u;
constexpr int ID_SIZE = 4;

uint32_t nextRequestId()
{
    gLastRequestId = (gLastRequestId + 1) & ~BACKTRACE_BOTTOM;
    if (gLastRequestId == 0)
        gLastRequestId = 1;
    return gLastRequestId | BACKTRACE_BOTTOM;
}

// The protocol header of a request or reply: its size, then the id,
// big-endian like every word of the backtrace.
struct IdControl {
    alignas(nn_cmsghdr) unsigned char bytes[NN_CMSG_SPACE(sizeof(size_t) + ID_SIZE)] = {};

    nn_cmsghdr *header() { return reinterpret_cast<nn_cmsghdr *>(bytes); }
};

IpcStatus sendWithId(int s, uint32_t id, const RequestHeader *hdr, const void *payload, int len)
{
    IdControl control;
    nn_cmsghdr *c = control.header();
    c->cmsg_len = NN_CMSG_LEN(sizeof(size_t) + ID_SIZE);
    c->cmsg_level = PROTO_SP;
    c->cmsg_type = SP_HDR;
    const size_t idSize = ID_SIZE;
    unsigned char *data = NN_CMSG_DATA(c);
    std::memcpy(data, &idSize, sizeof idSize);
    for (int i = 0; i < ID_SIZE; ++i)
        data[sizeof idSize + i] = static_cast<unsigned char>(id >> (24 - 8 * i));

    // nanomsg gathers both pieces into the one message it sends.
    nn_iovec iov[2] = {{const_cast<RequestHeader *>(hdr), sizeof *hdr},
                       {const_cast<void *>(payload), static_cast<size_t>(len)}};
    nn_msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = len > 0 ? 2 : 1;
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof control.bytes;
    return nn_sendmsg(s, &m, NN_DONTWAIT) < 0 ? IPC_FAILURE : IPC_OK;
}

// One received message and the id of its protocol header (0 without one).
struct Received {
    void *body = nullptr;
    int length = 0;
    uint32_t id = 0;

    Received() = default;
    Received(const Received &) = delete;
    Received &operator=(const Received &) = delete;
    ~Received()
    {
        if (body)
            nn_freemsg(body);
    }
};

// False when nothing could be received (errno tells why).
bool receiveWithId(int s, Received *r)
{
    IdControl control;
    nn_iovec iov{&r->body, NN_MSG};
    nn_msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof control.bytes;
    r->length = nn_recvmsg(s, &m, NN_DONTWAIT);
    if (r->length < 0) {
        r->body = nullptr;
        return false;
    }
    // Only the first property is read: the header is the only one a reply
    // brings, and a zeroed rest would not end a walk over the buffer.
    nn_cmsghdr *c = NN_CMSG_FIRSTHDR(&m);
    size_t idSize = 0;
    if (c && c->cmsg_level == PROTO_SP && c->cmsg_type == SP_HDR &&
        c->cmsg_len >= NN_CMSG_LEN(sizeof idSize + ID_SIZE)) {
        const unsigned char *data = NN_CMSG_DATA(c);
        std::memcpy(&idSize, data, sizeof idSize);
        if (idSize == size_t(ID_SIZE))
            for (int i = 0; i < ID_SIZE; ++i)
                r->id = (r->id << 8) | data[sizeof idSize + i];
    }
    return true;
}

int msLeft(int64_t deadline)
{
    int64_t left = deadline - monotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

IpcStatus timedOut(ReplyHeader *outHdr)
{
    outHdr->status = 2;  // callers that test only the reply status see a failure too
    return IPC_TIMEOUT;
}

// Waits until the socket is ready for `events`: 0, the time-out when the
// deadline passed first, 1 when the poll failed.
IpcStatus awaitReady(int s, short events, int64_t deadline, ReplyHeader *outHdr)
{
    nn_pollfd pfd{s, events, 0};
    int rc = nn_poll(&pfd, 1, msLeft(deadline));
    if (rc == 0)
        return timedOut(outHdr);
    return rc < 0 ? IPC_FAILURE : IPC_OK;
}

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

    const int64_t deadline = monotonicMs() + gReplyTimeoutMs.load();
    const int s = e->socket.load();
    const uint32_t id = nextRequestId();

    // The request leaves once a peer is connected: a peer that is just
    // starting still gets it within the reply time-out, one that is not
    // there never gets it later.
    for (;;) {
        if (IpcStatus ready = awaitReady(s, NN_POLLOUT, deadline, outHdr); ready != IPC_OK)
            return ready;
        if (sendWithId(s, id, hdr, payload, len) == IPC_OK)
            break;
        if (errno != EAGAIN)
            return IPC_FAILURE;
        // The peer went between the poll and the send. A poll that keeps
        // saying ready must not hold the request past its deadline.
        if (msLeft(deadline) == 0)
            return timedOut(outHdr);
    }

    for (;;) {
        if (IpcStatus ready = awaitReady(s, NN_POLLIN, deadline, outHdr); ready != IPC_OK)
            return ready;
        Received reply;
        bool received = receiveWithId(s, &reply);
        if (!received && errno != EAGAIN)
            return IPC_FAILURE;
        // Nothing after all (nanomsg dropped a malformed message), or a
        // reply for an earlier try or for no request at all: wait on.
        if (!received || reply.id != id) {
            if (msLeft(deadline) == 0)
                return timedOut(outHdr);
            continue;
        }
        if (reply.length < static_cast<int>(sizeof(ReplyHeader)))
            return IPC_FAILURE;
        std::memcpy(outHdr, reply.body, sizeof(ReplyHeader));
        int plen = reply.length - static_cast<int>(sizeof(ReplyHeader));
        if (plen > 0 && outPayload) {
            void *copy = std::malloc(plen);
            if (!copy)
                return IPC_FAILURE;
            std::memcpy(copy, static_cast<const char *>(reply.body) + sizeof(ReplyHeader), plen);
            *outPayload = copy;
            *outLen = plen;
        }
        return IPC_OK;
    }
}

IpcStatus IPC_DropRequest(const char *peer)
{
    std::lock_guard<std::mutex> serialise(gRequestLock);
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer)
        return IPC_BAD_ARGUMENT;
    EntryRef e = acquireEntry(IPC_KIND_REQUESTER, peer);
    if (!e)
        return IPC_NO_ENDPOINT;
    // Nothing of the request is kept to drop. Replies that came after their
    // try gave up would be dropped by the next request anyway; reading them
    // now frees them while the peer is quiet.
    const int s = e->socket.load();
    for (;;) {
        Received stale;
        if (!receiveWithId(s, &stale))
            break;
    }
    return IPC_OK;
}
