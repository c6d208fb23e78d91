// Queued requests: the ring's capacity, replacement by request code, payload
// copies, and the worker's end with IPC_Deinit.
#include "ipc_test_util.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

Recorder gServed;
Gate gRelease;
std::atomic<bool> gFirstArrived{false};

enum : uint32_t { CODE_HOLD = 1 };

// Sits on CODE_HOLD until released, so that the worker has one request in
// flight while the test fills the queue behind it.
void serve(const void *msg, const void *payload, int len, ReplyHeader *, void **, int *)
{
    gServed.add(msg, static_cast<int>(sizeof(RequestHeader)) + len, payload, len);
    RequestHeader h;
    std::memcpy(&h, msg, sizeof h);
    if (h.requestCode == CODE_HOLD) {
        gFirstArrived = true;
        gRelease.wait(5000);
    }
}

class IpcRequestAsync : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gServed.clear();
        gRelease.close();
        gFirstArrived = false;
        ASSERT_EQ(IPC_OpenReplyServer(serve), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester("Mif", 8000), IPC_OK);
    }

    void TearDown() override
    {
        gRelease.open();
        IpcFixture::TearDown();
    }

    // One request in flight, held by the server.
    void holdTheWorker()
    {
        RequestHeader h{};
        h.requestCode = CODE_HOLD;
        ASSERT_EQ(IPC_RequestAsync("Mif", &h, nullptr, 0), IPC_OK);
        ASSERT_TRUE(waitUntil([] { return gFirstArrived.load(); }));
    }
};

TEST_F(IpcRequestAsync, QueueHoldsFortyNineWaitingRequestsAndReplacesByCode)
{
    holdTheWorker();

    char payload[16];
    RequestHeader h{};
    for (uint32_t i = 0; i < 49; ++i) {
        h.requestCode = 100 + i;
        int n = std::snprintf(payload, sizeof payload, "p%u", i);
        ASSERT_EQ(IPC_RequestAsync("Mif", &h, payload, n + 1), IPC_OK) << i;
    }
    std::strcpy(payload, "overwritten");  // the queue holds copies
    h.requestCode = 200;
    EXPECT_EQ(IPC_RequestAsync("Mif", &h, nullptr, 0), IPC_QUEUE_FULL);

    // A waiting request with the same code is replaced in its place, even
    // with the queue full; without such a request the queue is still full.
    h.requestCode = 120;
    h.replace = 1;
    EXPECT_EQ(IPC_RequestAsync("Mif", &h, "new", 4), IPC_OK);
    h.requestCode = 201;
    EXPECT_EQ(IPC_RequestAsync("Mif", &h, nullptr, 0), IPC_QUEUE_FULL);

    gRelease.open();
    ASSERT_TRUE(waitUntil([] { return gServed.count() == 50; }, 10000));
    EXPECT_EQ(headerOf<RequestHeader>(gServed.at(0)).requestCode, CODE_HOLD);
    for (uint32_t i = 0; i < 49; ++i) {
        Seen s = gServed.at(1 + i);
        RequestHeader got = headerOf<RequestHeader>(s);
        EXPECT_EQ(got.requestCode, 100 + i);
        EXPECT_EQ(got.senderId, 5u);
        std::string text(s.msg.data() + 16);
        if (i == 20) {
            EXPECT_EQ(text, "new");
            EXPECT_EQ(got.replace, 1);
        } else {
            EXPECT_EQ(text, "p" + std::to_string(i));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gServed.count(), 50u);
}

TEST_F(IpcRequestAsync, WithoutReplaceFlagTheSameCodeQueuesAgain)
{
    holdTheWorker();
    RequestHeader h{};
    h.requestCode = 7;
    ASSERT_EQ(IPC_RequestAsync("Mif", &h, "a", 2), IPC_OK);
    ASSERT_EQ(IPC_RequestAsync("Mif", &h, "b", 2), IPC_OK);
    gRelease.open();
    ASSERT_TRUE(waitUntil([] { return gServed.count() == 3; }));
    EXPECT_STREQ(gServed.at(1).msg.data() + 16, "a");
    EXPECT_STREQ(gServed.at(2).msg.data() + 16, "b");
}

TEST_F(IpcRequestAsync, ArgumentsAndMissingRequester)
{
    RequestHeader h{};
    EXPECT_EQ(IPC_RequestAsync(nullptr, &h, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_RequestAsync("Mif", nullptr, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_RequestAsync("Mif", &h, nullptr, 1), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_RequestAsync("Mcl", &h, nullptr, 0), IPC_NO_ENDPOINT);
}

TEST_F(IpcRequestAsync, DeinitStopsTheWorkerAndDropsWhatWaits)
{
    holdTheWorker();
    RequestHeader h{};
    for (uint32_t i = 0; i < 10; ++i) {
        h.requestCode = 300 + i;
        ASSERT_EQ(IPC_RequestAsync("Mif", &h, "payload", 8), IPC_OK);
    }
    // The request in flight is finished (the server lets it go shortly);
    // the ten behind it are never sent and their copies are freed.
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        gRelease.open();
    });
    EXPECT_EQ(IPC_Deinit(), IPC_OK);
    releaser.join();
    EXPECT_EQ(gServed.count(), 1u);
    EXPECT_TRUE(threadsSettleAt(threadsAtStart_));  // worker, receiver, nanomsg's own
}

}  // namespace
