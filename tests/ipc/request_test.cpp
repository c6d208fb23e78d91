// Requests and replies: envelopes, payload hand-over, time-outs, and a
// reply server in another process.
#include "ipc_test_util.h"

#include "ipc/address.h"

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

namespace {

Recorder gRequests;
Gate gHold;
std::atomic<int> gHoldMs{0};

enum : uint32_t { CODE_BARE = 1, CODE_REVERSE = 2, CODE_FAIL = 99 };

// Answers CODE_REVERSE with the payload reversed, CODE_FAIL with status 3,
// anything else with a bare header. Its own id and transaction word must not
// reach the requester: the layer fills those in.
void serveRequest(const void *msg, const void *payload, int len, ReplyHeader *out,
                  void **outPayload, int *outLen)
{
    gRequests.add(msg, static_cast<int>(sizeof(RequestHeader)) + len, payload, len);
    if (gHoldMs.load())
        gHold.wait(gHoldMs.load());
    RequestHeader h;
    std::memcpy(&h, msg, sizeof h);
    out->replierId = 1234;
    out->transaction = 5678;
    out->status = h.requestCode == CODE_FAIL ? 3 : 0;
    if (h.requestCode == CODE_REVERSE && len > 0) {
        char *r = static_cast<char *>(std::malloc(len));
        for (int i = 0; i < len; ++i)
            r[i] = static_cast<const char *>(payload)[len - 1 - i];
        *outPayload = r;
        *outLen = len;
    }
}

class IpcRequest : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gRequests.clear();
        gHold.close();
        gHoldMs = 0;
    }

    void TearDown() override
    {
        gHold.open();  // never leave a handler waiting
        IpcFixture::TearDown();
    }

    void serveOwnReplies(int replyTimeoutMs)
    {
        ASSERT_EQ(IPC_OpenReplyServer(serveRequest), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester("Mif", replyTimeoutMs), IPC_OK);
    }
};

TEST_F(IpcRequest, RequestAndReplyCarryHeadersAndPayloads)
{
    serveOwnReplies(2000);
    RequestHeader rq{};
    rq.senderId = 999;
    rq.requestCode = CODE_REVERSE;
    rq.transaction = 0xABCD;
    rq.replace = 1;
    ReplyHeader rp{};
    void *out = nullptr;
    int outLen = 0;
    ASSERT_EQ(IPC_Request("Mif", &rq, "hello", 5, &rp, &out, &outLen), IPC_OK);
    EXPECT_EQ(rq.senderId, 5u);  // the layer writes the own id into the caller's header

    ASSERT_EQ(gRequests.count(), 1u);
    Seen s = gRequests.at(0);
    RequestHeader got = headerOf<RequestHeader>(s);
    EXPECT_EQ(got.senderId, 5u);
    EXPECT_EQ(got.requestCode, CODE_REVERSE);
    EXPECT_EQ(got.transaction, 0xABCDu);
    EXPECT_EQ(got.replace, 1);  // sent unchanged
    EXPECT_EQ(s.len, 5);
    EXPECT_EQ(std::string(s.msg.begin() + 16, s.msg.end()), "hello");

    EXPECT_EQ(rp.replierId, 5u);
    EXPECT_EQ(rp.transaction, 0xABCDu);
    EXPECT_EQ(rp.status, 0u);
    ASSERT_EQ(outLen, 5);
    EXPECT_EQ(std::string(static_cast<char *>(out), 5), "olleh");
    std::free(out);

    // A non-zero status from the server is a successful exchange.
    rq.requestCode = CODE_FAIL;
    EXPECT_EQ(IPC_Request("Mif", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(rp.status, 3u);
}

TEST_F(IpcRequest, ReplyPayloadIsHandedOutOnlyWhenThereIsOneAndItIsAskedFor)
{
    serveOwnReplies(2000);
    RequestHeader rq{};
    ReplyHeader rp{};

    // A bare 12-byte reply leaves the caller's outputs as they were.
    char marker;
    void *out = &marker;
    int outLen = 77;
    rq.requestCode = CODE_BARE;
    ASSERT_EQ(IPC_Request("Mif", &rq, nullptr, 0, &rp, &out, &outLen), IPC_OK);
    EXPECT_EQ(out, &marker);
    EXPECT_EQ(outLen, 77);
    Seen s = gRequests.at(0);
    EXPECT_TRUE(s.payloadNull);  // a bare request reaches the handler without payload
    EXPECT_EQ(s.len, 0);

    // A reply payload nobody asked for is dropped.
    rq.requestCode = CODE_REVERSE;
    EXPECT_EQ(IPC_Request("Mif", &rq, "abc", 3, &rp, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(rp.status, 0u);

    // A payload output without a length output is refused.
    EXPECT_EQ(IPC_Request("Mif", &rq, "abc", 3, &rp, &out, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Request("Mif", nullptr, nullptr, 0, &rp, nullptr, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Request("Mif", &rq, nullptr, 0, nullptr, nullptr, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Request("Mif", &rq, nullptr, 4, &rp, nullptr, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Request("Mif", &rq, "abc", -1, &rp, nullptr, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(gRequests.count(), 2u);

    // Without a requester nothing is sent, but the header still got the id.
    RequestHeader other{};
    EXPECT_EQ(IPC_Request("Mcl", &other, nullptr, 0, &rp, nullptr, nullptr), IPC_NO_ENDPOINT);
    EXPECT_EQ(other.senderId, 5u);
}

TEST_F(IpcRequest, SilentPeerTimesOutAndItsLateReplyIsNotTakenForTheNext)
{
    serveOwnReplies(500);
    gHoldMs = 5000;  // the server sits on the first request
    RequestHeader rq{};
    rq.requestCode = CODE_BARE;
    ReplyHeader rp{11, 22, 33};
    int64_t t0 = nowMs();
    EXPECT_EQ(IPC_Request("Mif", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_TIMEOUT);
    EXPECT_GE(nowMs() - t0, 490);
    EXPECT_EQ(rp.status, 2u);
    EXPECT_EQ(rp.replierId, 11u);  // the rest of the reply header is left alone
    EXPECT_EQ(rp.transaction, 22u);
    ASSERT_TRUE(waitUntil([] { return gRequests.count() == 1; }));

    // The server answers the first request late; the next request gets its
    // own answer.
    gHoldMs = 0;
    gHold.open();
    rq.requestCode = CODE_REVERSE;
    rq.transaction = 7;
    void *out = nullptr;
    int outLen = 0;
    ASSERT_EQ(IPC_Request("Mif", &rq, "xy", 2, &rp, &out, &outLen), IPC_OK);
    EXPECT_EQ(rp.transaction, 7u);
    ASSERT_EQ(outLen, 2);
    EXPECT_EQ(std::string(static_cast<char *>(out), 2), "yx");
    std::free(out);
}

TEST_F(IpcRequest, DroppedRequestIsNotDeliveredWhenThePeerComes)
{
    // No server yet: the request waits in the requester for one to come.
    ASSERT_EQ(IPC_OpenRequester("Mif", 200), IPC_OK);
    RequestHeader rq{};
    rq.requestCode = CODE_BARE;
    ReplyHeader rp{};
    EXPECT_EQ(IPC_Request("Mif", &rq, "old", 3, &rp, nullptr, nullptr), IPC_TIMEOUT);
    EXPECT_EQ(IPC_DropRequest("Mif"), IPC_OK);
    EXPECT_EQ(IPC_DropRequest("Nobody"), IPC_NO_ENDPOINT);

    ASSERT_EQ(IPC_OpenReplyServer(serveRequest), IPC_OK);
    EXPECT_FALSE(waitUntil([] { return gRequests.count() > 0; }, 700)) << "the dropped request arrived";
    // The requester under the same name works on.
    EXPECT_EQ(IPC_Request("Mif", &rq, "new", 3, &rp, nullptr, nullptr), IPC_OK);
    ASSERT_EQ(gRequests.count(), 1u);
    Seen seen = gRequests.at(0);
    EXPECT_EQ(seen.len, 3);
    EXPECT_EQ(std::string(seen.msg.begin() + 16, seen.msg.end()), "new");
}

// ---- A reply server that answers every way it should not ----------------

// The protocol header (backtrace) of a message of a raw socket.
struct Backtrace {
    std::vector<uint8_t> bytes;
};

int rawReceive(int s, std::vector<char> *body, Backtrace *trace, int timeoutMs)
{
    nn_pollfd pfd{s, NN_POLLIN, 0};
    if (nn_poll(&pfd, 1, timeoutMs) <= 0)
        return -1;
    void *msg = nullptr;
    nn_iovec iov{&msg, NN_MSG};
    void *control = nullptr;
    nn_msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = &control;
    m.msg_controllen = NN_MSG;
    int n = nn_recvmsg(s, &m, NN_DONTWAIT);
    if (n < 0)
        return -1;
    body->assign(static_cast<char *>(msg), static_cast<char *>(msg) + n);
    nn_freemsg(msg);
    trace->bytes.clear();
    if (nn_cmsghdr *c = NN_CMSG_FIRSTHDR(&m); c && c->cmsg_level == PROTO_SP && c->cmsg_type == SP_HDR) {
        size_t size = 0;
        std::memcpy(&size, NN_CMSG_DATA(c), sizeof size);
        const uint8_t *bytes = NN_CMSG_DATA(c) + sizeof size;
        trace->bytes.assign(bytes, bytes + size);
    }
    nn_freemsg(control);
    return n;
}

void rawReply(int s, const Backtrace &trace, const void *body, size_t length)
{
    std::vector<unsigned char> control(NN_CMSG_SPACE(sizeof(size_t) + trace.bytes.size()), 0);
    nn_cmsghdr *c = reinterpret_cast<nn_cmsghdr *>(control.data());
    c->cmsg_len = NN_CMSG_LEN(sizeof(size_t) + trace.bytes.size());
    c->cmsg_level = PROTO_SP;
    c->cmsg_type = SP_HDR;
    size_t size = trace.bytes.size();
    std::memcpy(NN_CMSG_DATA(c), &size, sizeof size);
    std::memcpy(NN_CMSG_DATA(c) + sizeof size, trace.bytes.data(), size);
    nn_iovec iov{const_cast<void *>(body), length};
    nn_msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control.data();
    m.msg_controllen = control.size();
    nn_sendmsg(s, &m, 0);
}

TEST_F(IpcRequest, LateDuplicateForeignAndShortRepliesAreDropped)
{
    int server = nn_socket(AF_SP_RAW, NN_REP);
    ASSERT_GE(server, 0);
    char *address = _IPC_BuildAddress("Raw", "Reply", server, true);
    ASSERT_NE(address, nullptr);
    ASSERT_GE(nn_bind(server, address), 0);
    std::free(address);
    ASSERT_EQ(IPC_OpenRequester("Raw", 300), IPC_OK);

    // Each request gets, in this order: the reply to the one before (late),
    // a reply under a foreign id, a reply too short for a header under the
    // previous id, its own reply, and its own reply again. The first gets
    // nothing: it times out, and its answer comes with the second.
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        Backtrace previous;
        uint32_t previousCode = 0;
        for (int n = 0; !stop; n++) {
            std::vector<char> body;
            Backtrace trace;
            if (rawReceive(server, &body, &trace, 50) < int(sizeof(RequestHeader)))
                continue;
            RequestHeader rq;
            std::memcpy(&rq, body.data(), sizeof rq);
            auto answer = [&](const Backtrace &to, uint32_t code) {
                ReplyHeader rp{7, code, 0};
                rawReply(server, to, &rp, sizeof rp);
            };
            if (n > 0) {
                answer(previous, previousCode);
                Backtrace foreign = trace;
                foreign.bytes.back() ^= 0x5A;
                answer(foreign, 1000 + rq.requestCode);
                rawReply(server, previous, "short", 5);
                answer(trace, rq.requestCode);
                answer(trace, rq.requestCode);
            }
            previous = trace;
            previousCode = rq.requestCode;
        }
    });

    RequestHeader rq{};
    ReplyHeader rp{};
    rq.requestCode = 1;
    EXPECT_EQ(IPC_Request("Raw", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_TIMEOUT);
    for (uint32_t code = 2; code < 6; ++code) {
        rq.requestCode = code;
        ASSERT_EQ(IPC_Request("Raw", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK) << code;
        EXPECT_EQ(rp.transaction, code) << "the reply to request " << rp.transaction << " was taken for " << code;
    }
    // Duplicates are still on their way or waiting: giving up and closing
    // with them pending is safe, and the requester opens again.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(IPC_DropRequest("Raw"), IPC_OK);
    rq.requestCode = 6;
    ASSERT_EQ(IPC_Request("Raw", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(IPC_CloseRequester("Raw"), IPC_OK);
    ASSERT_EQ(IPC_OpenRequester("Raw", 300), IPC_OK);
    rq.requestCode = 7;
    ASSERT_EQ(IPC_Request("Raw", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(rp.transaction, 7u);
    stop = true;
    peer.join();
    nn_close(server);
}

int freeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

TEST_F(IpcRequest, PeerThatIsNotRunningEndsInTimeOutEveryTime)
{
    // Over an ipc path with no socket file, and over a loopback port that
    // nobody listens on. Three tries, as the daemon's retry wrapper makes.
    int port = freeLoopbackPort();
    ASSERT_GT(port, 1024);
    std::string value = "127.0.0.1:" + std::to_string(port);
    setenv("GhostReply", value.c_str(), 1);
    ASSERT_EQ(IPC_OpenRequester("Nobody", 200), IPC_OK);
    ASSERT_EQ(IPC_OpenRequester("Ghost", 200), IPC_OK);
    unsetenv("GhostReply");
    for (const char *peer : {"Nobody", "Ghost"}) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            RequestHeader rq{};
            ReplyHeader rp{};
            EXPECT_EQ(IPC_Request(peer, &rq, "x", 1, &rp, nullptr, nullptr), IPC_TIMEOUT)
                << peer;
            EXPECT_EQ(rp.status, 2u);
        }
    }
}

// ---- A reply server in another process ------------------------------------

std::atomic<bool> gChildDone{false};

void serveAsMcl(const void *msg, const void *, int, ReplyHeader *out, void **outPayload,
                int *outLen)
{
    RequestHeader h;
    std::memcpy(&h, msg, sizeof h);
    if (h.requestCode == 42)
        gChildDone = true;
    out->status = h.senderId == 5 ? 0 : 1;
    *outPayload = strdup("pong");
    *outLen = 5;
}

int mclProcess()
{
    // The child inherits the parent's layer state; it becomes process 7 "Mcl".
    if (IPC_Deinit() != IPC_OK || IPC_Init(7, "Mcl") != IPC_OK)
        return 2;
    if (IPC_OpenReplyServer(serveAsMcl) != IPC_OK)
        return 3;
    waitUntil([] { return gChildDone.load(); }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the last reply go
    return IPC_Deinit() == IPC_OK && gChildDone ? 0 : 4;
}

void requestMclInAnotherProcess()
{
    pid_t child = startChild(mclProcess);
    ASSERT_GT(child, 0);
    ASSERT_EQ(IPC_OpenRequester("Mcl", 1000), IPC_OK);
    RequestHeader rq{};
    ReplyHeader rp{};
    void *out = nullptr;
    int outLen = 0;
    // The child may still be starting: a request waiting for it is
    // delivered once it binds.
    IpcStatus rc = IPC_TIMEOUT;
    for (int i = 0; i < 5 && rc == IPC_TIMEOUT; ++i)
        rc = IPC_Request("Mcl", &rq, nullptr, 0, &rp, &out, &outLen);
    EXPECT_EQ(rc, IPC_OK);
    EXPECT_EQ(rp.replierId, 7u);
    EXPECT_EQ(rp.status, 0u);
    ASSERT_EQ(outLen, 5);
    EXPECT_STREQ(static_cast<char *>(out), "pong");
    std::free(out);

    rq.requestCode = 42;
    EXPECT_EQ(IPC_Request("Mcl", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(waitChild(child), 0);
}

TEST_F(IpcRequest, ReplyServerInAnotherProcessOverTheIpcPath)
{
    requestMclInAnotherProcess();
}

TEST_F(IpcRequest, ReplyServerInAnotherProcessOverLoopbackTcp)
{
    int port = freeLoopbackPort();
    ASSERT_GT(port, 1024);
    std::string value = "127.0.0.1:" + std::to_string(port);
    setenv("MclReply", value.c_str(), 1);
    requestMclInAnotherProcess();
    unsetenv("MclReply");
}

}  // namespace
