// Pushes to pull and log servers, with and without a time-out.
#include "ipc_test_util.h"

#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <atomic>
#include <cstring>

namespace {

Recorder gPulled;
Recorder gLogged;

void onPull(const void *msg, const void *payload, int len)
{
    gPulled.add(msg, static_cast<int>(sizeof(PushHeader)) + len, payload, len);
}

void onLog(const void *msg, const void *payload, int len)
{
    gLogged.add(msg, static_cast<int>(sizeof(LogHeader)) + len, payload, len);
}

class IpcPush : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gPulled.clear();
        gLogged.clear();
    }
};

TEST_F(IpcPush, PushReachesThePullServerWithTheSenderId)
{
    ASSERT_EQ(IPC_OpenPullServer(onPull), IPC_OK);
    ASSERT_EQ(IPC_OpenPush("Mif", 2000), IPC_OK);
    PushHeader h{0, 1};  // READY, no payload
    ASSERT_EQ(IPC_Push("Mif", &h, nullptr, 0), IPC_OK);
    EXPECT_EQ(h.senderId, 5u);
    PushHeader h2{0, 2};
    ASSERT_EQ(IPC_Push("Mif", &h2, "data", 4), IPC_OK);

    ASSERT_TRUE(waitUntil([] { return gPulled.count() == 2; }));
    Seen first = gPulled.at(0);
    PushHeader got = headerOf<PushHeader>(first);
    EXPECT_EQ(got.senderId, 5u);
    EXPECT_EQ(got.code, 1u);
    EXPECT_TRUE(first.payloadNull);
    EXPECT_EQ(first.len, 0);
    Seen second = gPulled.at(1);
    EXPECT_EQ(second.len, 4);
    EXPECT_EQ(std::string(second.msg.begin() + 8, second.msg.end()), "data");

    EXPECT_EQ(IPC_Push("Mif", nullptr, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Push(nullptr, &h, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Push("Mif", &h, nullptr, 3), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Push("Mcl", &h, nullptr, 0), IPC_NO_ENDPOINT);
    ASSERT_EQ(IPC_ClosePush("Mif"), IPC_OK);
    EXPECT_EQ(IPC_Push("Mif", &h, nullptr, 0), IPC_NO_ENDPOINT);
    ASSERT_EQ(IPC_ClosePullServer(), IPC_OK);
}

TEST_F(IpcPush, LogEntryKeepsItsTwentyFourByteHeader)
{
    ASSERT_EQ(IPC_OpenLogServer(onLog), IPC_OK);
    ASSERT_EQ(IPC_OpenLogPush("Mif", 500), IPC_OK);
    LogHeader h{};
    h.kind = 0;
    h.level = 6;
    logHeaderSetTimestamp(&h, 0x123456789ABCull);
    ASSERT_EQ(IPC_PushLog("Mif", &h, "abc", 4), IPC_OK);  // text and its NUL

    ASSERT_TRUE(waitUntil([] { return gLogged.count() == 1; }));
    Seen s = gLogged.at(0);
    ASSERT_EQ(s.msg.size(), 28u);
    LogHeader got = headerOf<LogHeader>(s);
    EXPECT_EQ(got.senderId, 5u);
    EXPECT_EQ(got.level, 6u);
    EXPECT_EQ(got.timestampLow, 0x56789ABCu);  // low word first
    EXPECT_EQ(logHeaderTimestamp(&got), 0x123456789ABCull);
    EXPECT_EQ(s.len, 4);
    EXPECT_STREQ(s.msg.data() + 24, "abc");

    // A message shorter than the log header never reaches the handler.
    int raw = nn_socket(AF_SP, NN_PUSH);
    ASSERT_GE(raw, 0);
    std::string addr = "ipc://" + root_ + "/tmp/MifLog.ipc";
    ASSERT_GE(nn_connect(raw, addr.c_str()), 0);
    char shortMsg[23] = {};
    char fullMsg[24] = {};
    fullMsg[12] = 3;  // level
    EXPECT_EQ(nn_send(raw, shortMsg, sizeof shortMsg, 0), 23);
    EXPECT_EQ(nn_send(raw, fullMsg, sizeof fullMsg, 0), 24);
    ASSERT_TRUE(waitUntil([] { return gLogged.count() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gLogged.count(), 2u);
    Seen bare = gLogged.at(1);
    EXPECT_EQ(bare.msg[12], 3);
    EXPECT_TRUE(bare.payloadNull);
    nn_close(raw);
}

TEST_F(IpcPush, PushToAPeerThatIsNotRunningTimesOut)
{
    ASSERT_EQ(IPC_OpenPush("Nobody", 300), IPC_OK);
    PushHeader h{};
    int64_t t0 = nowMs();
    EXPECT_EQ(IPC_Push("Nobody", &h, nullptr, 0), IPC_TIMEOUT);
    EXPECT_GE(nowMs() - t0, 290);

    ASSERT_EQ(IPC_OpenLogPush("Nobody", 200), IPC_OK);
    LogHeader l{};
    EXPECT_EQ(IPC_PushLog("Nobody", &l, nullptr, 0), IPC_TIMEOUT);
}

TEST_F(IpcPush, PushWithoutTimeOutWaitsUntilThePeerTakesIt)
{
    ASSERT_EQ(IPC_OpenPush("Mif", 0), IPC_OK);
    std::atomic<int> result{-1};
    std::thread pusher([&] {
        PushHeader h{0, 9};
        result = IPC_Push("Mif", &h, "late", 4);
    });
    // Nobody pulls yet: the push is still waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), -1);

    ASSERT_EQ(IPC_OpenPullServer(onPull), IPC_OK);
    bool done = waitUntil([&] { return result.load() != -1; }, 5000);
    if (!done)
        IPC_ClosePush("Mif");  // closing the socket ends the send
    pusher.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(result.load(), IPC_OK);
    ASSERT_TRUE(waitUntil([] { return gPulled.count() == 1; }));
    EXPECT_EQ(gPulled.at(0).len, 4);
}

TEST_F(IpcPush, ClosingThePushEndsASendWaitingWithoutTimeOut)
{
    ASSERT_EQ(IPC_OpenPush("Nobody", 0), IPC_OK);
    std::atomic<int> result{-1};
    std::thread pusher([&] {
        PushHeader h{};
        result = IPC_Push("Nobody", &h, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(IPC_ClosePush("Nobody"), IPC_OK);
    pusher.join();
    EXPECT_EQ(result.load(), IPC_FAILURE);
}

}  // namespace
