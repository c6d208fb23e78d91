// Starting and stopping the layer, opening and closing endpoints.
#include "ipc_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

void onMessage(const void *, const void *, int) {}
void onEvent(const void *, const void *, uint8_t) {}
void onRequest(const void *, const void *, int, ReplyHeader *, void **, int *) {}
void onSurvey(const void *, const void *, int, ResponseHeader *, void **, int *) {}

TEST(IpcBeforeInit, EveryOperationReportsNotInitialised)
{
    RequestHeader rq{};
    ReplyHeader rp{};
    PushHeader ph{};
    LogHeader lh{};
    EventHeader eh{};
    SurveyHeader sh{};
    ResponseHeader rh{};
    char byte = 0;
    IpcStatus results[] = {
        IPC_Deinit(),
        IPC_OpenPush("Mcl", 10), IPC_ClosePush("Mcl"),
        IPC_OpenPullServer(onMessage), IPC_ClosePullServer(),
        IPC_OpenLogPush("Mcl", 10), IPC_CloseLogPush("Mcl"),
        IPC_OpenLogServer(onMessage), IPC_CloseLogServer(),
        IPC_OpenRequester("Mcl", 10), IPC_CloseRequester("Mcl"),
        IPC_OpenReplyServer(onRequest), IPC_CloseReplyServer(),
        IPC_OpenPublisher(), IPC_ClosePublisher(),
        IPC_OpenSurveyor(onMessage, 10), IPC_SetSurveyDeadline(10), IPC_CloseSurveyor(),
        IPC_OpenRespondent("Mcl", onSurvey), IPC_CloseRespondent("Mcl"),
        IPC_Subscribe("Mcl", 1, onEvent), IPC_Unsubscribe("Mcl", 1),
        IPC_Request("Mcl", &rq, nullptr, 0, &rp, nullptr, nullptr),
        IPC_Push("Mcl", &ph, nullptr, 0),
        IPC_PushLog("Mcl", &lh, nullptr, 0),
        IPC_Publish(&eh, nullptr, 0),
        IPC_Survey(sh, &byte, 0),
        IPC_Respond("Mcl", rh, nullptr, 0),
        IPC_RequestAsync("Mcl", &rq, nullptr, 0),
        IPC_WaitEvent(0, 0, 0, 10),
        IPC_SignalEvent(),
    };
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(results[i], IPC_NOT_INITIALISED) << "operation " << i;
    // Even arguments that are bad are reported as "not initialised" first.
    EXPECT_EQ(IPC_OpenPush(nullptr, 10), IPC_NOT_INITIALISED);
    EXPECT_EQ(IPC_Request(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
              IPC_NOT_INITIALISED);
}

class IpcLifecycle : public IpcFixture {};

TEST_F(IpcLifecycle, InitAndDeinitStates)
{
    EXPECT_EQ(IPC_Init(5, "Mif"), IPC_ALREADY_INITIALISED);
    EXPECT_EQ(IPC_Deinit(), IPC_OK);  // empty directory
    EXPECT_EQ(IPC_Deinit(), IPC_NOT_INITIALISED);
    EXPECT_EQ(IPC_Init(5, nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Deinit(), IPC_NOT_INITIALISED);
    EXPECT_EQ(IPC_Init(5, "Mif"), IPC_OK);
}

TEST_F(IpcLifecycle, BadArgumentsAreRefusedBeforeAnythingOpens)
{
    EXPECT_EQ(IPC_OpenPush(nullptr, 10), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenLogPush(nullptr, 10), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenRequester(nullptr, 10), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenRespondent(nullptr, onSurvey), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenRespondent("Mcl", nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenPullServer(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenLogServer(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenReplyServer(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenSurveyor(nullptr, 10), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Subscribe(nullptr, 1, onEvent), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Subscribe("Mcl", 1, nullptr), IPC_BAD_ARGUMENT);
    // Negative time-outs would mean waits without bound.
    EXPECT_EQ(IPC_OpenRequester("Mcl", -1), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenPush("Mcl", -1), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_OpenSurveyor(onMessage, -1), IPC_BAD_ARGUMENT);

    EXPECT_EQ(IPC_ClosePush(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_CloseRequester(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_CloseRespondent(nullptr), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Unsubscribe(nullptr, 1), IPC_BAD_ARGUMENT);
    // Nothing was opened by any of these.
    EXPECT_EQ(IPC_ClosePush("Mcl"), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_CloseRequester("Mcl"), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_CloseReplyServer(), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_ClosePublisher(), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_CloseSurveyor(), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_Unsubscribe("Mcl", 1), IPC_NO_ENDPOINT);
}

TEST_F(IpcLifecycle, OpeningTwiceReportsPresentAndKeepsTheFirstEndpoint)
{
    EXPECT_EQ(IPC_OpenReplyServer(onRequest), IPC_OK);
    EXPECT_EQ(IPC_OpenReplyServer(onRequest), IPC_ALREADY_PRESENT);
    EXPECT_EQ(IPC_OpenPublisher(), IPC_OK);
    EXPECT_EQ(IPC_OpenPublisher(), IPC_ALREADY_PRESENT);
    EXPECT_EQ(IPC_OpenRespondent("Mcl", onSurvey), IPC_OK);
    EXPECT_EQ(IPC_OpenRespondent("Mcl", onSurvey), IPC_ALREADY_PRESENT);
    // A different peer is a different endpoint.
    EXPECT_EQ(IPC_OpenRespondent("SvDaemon", onSurvey), IPC_OK);

    // The second requester open does not change the reply time-out: the
    // request to a peer that is not running still waits the first one.
    EXPECT_EQ(IPC_OpenRequester("Nobody", 300), IPC_OK);
    EXPECT_EQ(IPC_OpenRequester("Nobody", 20), IPC_ALREADY_PRESENT);
    RequestHeader rq{};
    ReplyHeader rp{};
    int64_t t0 = nowMs();
    EXPECT_EQ(IPC_Request("Nobody", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_TIMEOUT);
    EXPECT_GE(nowMs() - t0, 290);

    // The push time-out, in contrast, is stored even though the endpoint
    // was already open.
    EXPECT_EQ(IPC_OpenPush("Nobody", 20), IPC_OK);
    EXPECT_EQ(IPC_OpenPush("Nobody", 400), IPC_ALREADY_PRESENT);
    PushHeader ph{};
    t0 = nowMs();
    EXPECT_EQ(IPC_Push("Nobody", &ph, nullptr, 0), IPC_TIMEOUT);
    EXPECT_GE(nowMs() - t0, 390);

    EXPECT_EQ(IPC_CloseRespondent("Mcl"), IPC_OK);
    EXPECT_EQ(IPC_CloseRespondent("Mcl"), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_OpenRespondent("Mcl", onSurvey), IPC_OK);  // closed, so open again
}

TEST_F(IpcLifecycle, FailedBindLeavesAnInactiveEntryAndALaterOpenSucceeds)
{
    // Someone else listens on the reply server's port, so the bind fails.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&a), &alen), 0);
    std::string value = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    setenv("MifReply", value.c_str(), 1);

    EXPECT_EQ(IPC_OpenReplyServer(onRequest), IPC_FAILURE);
    EXPECT_EQ(IPC_CloseReplyServer(), IPC_NO_ENDPOINT);  // lookups skip it

    close(holder);
    EXPECT_EQ(IPC_OpenReplyServer(onRequest), IPC_OK);
    EXPECT_EQ(IPC_OpenRequester("Mif", 2000), IPC_OK);
    unsetenv("MifReply");
    RequestHeader rq{};
    ReplyHeader rp{};
    rp.status = 77;
    EXPECT_EQ(IPC_Request("Mif", &rq, nullptr, 0, &rp, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(rp.status, 0u);
    // IPC_Deinit (in TearDown) frees the failed entry with the rest.
}

TEST_F(IpcLifecycle, DeinitJoinsEveryThreadAndClosesEverySocket)
{
    int before = threadsAtStart_;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(IPC_OpenPullServer(onMessage), IPC_OK);
        ASSERT_EQ(IPC_OpenLogServer(onMessage), IPC_OK);
        ASSERT_EQ(IPC_OpenReplyServer(onRequest), IPC_OK);
        ASSERT_EQ(IPC_OpenPublisher(), IPC_OK);
        ASSERT_EQ(IPC_OpenSurveyor(onMessage, 100), IPC_OK);
        ASSERT_EQ(IPC_Subscribe("Mif", 1, onEvent), IPC_OK);
        ASSERT_EQ(IPC_Subscribe("Mif", 2, onEvent), IPC_OK);
        ASSERT_EQ(IPC_OpenRespondent("Mif", onSurvey), IPC_OK);
        ASSERT_EQ(IPC_OpenPush("Mif", 100), IPC_OK);
        ASSERT_EQ(IPC_OpenLogPush("Mif", 100), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester("Mif", 100), IPC_OK);
        RequestHeader rq{};
        ASSERT_EQ(IPC_RequestAsync("Mif", &rq, nullptr, 0), IPC_OK);  // starts the worker
        // Six receivers and the queue worker, besides nanomsg's own.
        EXPECT_GE(threadCount(), before + 7);

        ASSERT_EQ(IPC_Deinit(), IPC_OK);
        EXPECT_TRUE(threadsSettleAt(before)) << "round " << round;
        // The sockets are gone: the same endpoints bind again.
        ASSERT_EQ(IPC_Init(5, "Mif"), IPC_OK);
    }
}

TEST_F(IpcLifecycle, TermEndsNanomsgAndStillJoinsEveryThread)
{
    // nn_term is for good, so it runs in a child of its own.
    pid_t pid = startChild([] {
        int before = baselineThreadCount();
        if (IPC_OpenReplyServer(onRequest) || IPC_Subscribe("Mif", 1, onEvent) ||
            IPC_OpenRespondent("Mif", onSurvey) || IPC_OpenSurveyor(onMessage, 100) ||
            IPC_OpenRequester("Mif", 100) || IPC_OpenPush("Mif", 100))
            return 10;
        if (IPC_Term() != IPC_TERMINATED)
            return 11;
        if (!threadsSettleAt(before))
            return 12;
        if (IPC_Term() != IPC_NOT_INITIALISED)
            return 13;
        // The layer starts again but nanomsg makes no new socket.
        if (IPC_Init(5, "Mif") != IPC_OK || IPC_OpenPublisher() != IPC_FAILURE)
            return 14;
        if (IPC_Term() != IPC_TERMINATED)  // nothing left in the directory
            return 15;
        return 0;
    });
    EXPECT_EQ(waitChild(pid), 0);
}

}  // namespace
