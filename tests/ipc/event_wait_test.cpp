// Waiting for a published event: the match on topic and masked id, the
// time-out, and IPC_SignalEvent.
#include "ipc_test_util.h"

#include <atomic>

namespace {

std::atomic<int> gHandled{0};

void countEvent(const void *, const void *, uint8_t)
{
    gHandled++;
}

class IpcWaitEvent : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gHandled = 0;
        ASSERT_EQ(IPC_OpenPublisher(), IPC_OK);
    }

    void TearDown() override
    {
        stopPublishing();
        IpcFixture::TearDown();
    }

    // Publishes `events` every 20 ms on a thread of its own until stopped.
    void startPublishing(std::vector<EventHeader> events)
    {
        publishing_ = true;
        publisher_ = std::thread([this, events] {
            while (publishing_) {
                for (const EventHeader &e : events)
                    IPC_Publish(&e, nullptr, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }

    void stopPublishing()
    {
        publishing_ = false;
        if (publisher_.joinable())
            publisher_.join();
    }

    std::atomic<bool> publishing_{false};
    std::thread publisher_;
};

TEST_F(IpcWaitEvent, NeedsAnActiveSubscription)
{
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 100), IPC_NO_ENDPOINT);
    ASSERT_EQ(IPC_Subscribe("Mif", 5, countEvent), IPC_OK);
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 50), IPC_TIMEOUT);
    ASSERT_EQ(IPC_Unsubscribe("Mif", 5), IPC_OK);
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 100), IPC_NO_ENDPOINT);
}

TEST_F(IpcWaitEvent, DeadlinePassesWhenNoEventMatches)
{
    ASSERT_EQ(IPC_Subscribe("Mif", 5, countEvent), IPC_OK);
    ASSERT_EQ(IPC_Subscribe("Mif", 6, countEvent), IPC_OK);
    // Right topic without bit 4 in the id, and the right id on another topic.
    startPublishing({EventHeader{5, 0, 0x2F}, EventHeader{6, 0, 0x10}});
    ASSERT_TRUE(waitUntil([] { return gHandled.load() > 0; }));

    int64_t t0 = nowMs();
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 600), IPC_TIMEOUT);
    EXPECT_GE(nowMs() - t0, 590);
    // The handler kept running for the events that did not match.
    int handled = gHandled.load();
    ASSERT_TRUE(waitUntil([handled] { return gHandled.load() > handled; }));
}

TEST_F(IpcWaitEvent, MatchingEventEndsTheWait)
{
    ASSERT_EQ(IPC_Subscribe("Mif", 5, countEvent), IPC_OK);
    // Other bits of the id do not matter under the mask.
    startPublishing({EventHeader{5, 0, 0x2F}, EventHeader{5, 0, 0x31}});
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 5000), IPC_OK);
}

TEST_F(IpcWaitEvent, SignalEndsAWaitWithoutDeadlineButIsNotRemembered)
{
    ASSERT_EQ(IPC_Subscribe("Mif", 5, countEvent), IPC_OK);

    // A signal while nobody waits does not end the next wait.
    ASSERT_EQ(IPC_SignalEvent(), IPC_OK);
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 100), IPC_TIMEOUT);

    std::atomic<bool> returned{false};
    std::thread signaller([&] {
        for (int i = 0; i < 100 && !returned; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            IPC_SignalEvent();
        }
    });
    EXPECT_EQ(IPC_WaitEvent(5, 16, 16, 0), IPC_OK);
    returned = true;
    signaller.join();
}

}  // namespace
