// Publishing and subscribing: event envelopes, topic slots, and the
// subscriber endpoint's life with its topics.
#include "ipc_test_util.h"

#include <atomic>
#include <cstring>

namespace {

Recorder gEventsA;
Recorder gEventsB;

void onEventA(const void *msg, const void *payload, uint8_t len)
{
    gEventsA.add(msg, static_cast<int>(sizeof(EventHeader)) + len, payload, len);
}

void onEventB(const void *msg, const void *payload, uint8_t len)
{
    gEventsB.add(msg, static_cast<int>(sizeof(EventHeader)) + len, payload, len);
}

// A subscriber only gets what is published after its connection is up, so
// tests publish repeatedly until the handler has seen what they wait for.
bool publishUntil(const std::function<bool()> &done,
                  const std::vector<std::pair<EventHeader, std::vector<char>>> &events)
{
    for (int i = 0; i < 150 && !done(); ++i) {
        for (const auto &[hdr, payload] : events)
            if (IPC_Publish(&hdr, payload.empty() ? nullptr : payload.data(),
                            static_cast<int>(payload.size())) != IPC_OK)
                return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class IpcPubSub : public IpcFixture {
protected:
    void SetUp() override
    {
        IpcFixture::SetUp();
        gEventsA.clear();
        gEventsB.clear();
        ASSERT_EQ(IPC_OpenPublisher(), IPC_OK);
    }
};

TEST_F(IpcPubSub, EventPayloadsReachTheHandler)
{
    ASSERT_EQ(IPC_Subscribe("Mif", 3, onEventA), IPC_OK);

    // Exactly the header: no payload at all.
    EventHeader bare{3, 0, 77};
    ASSERT_TRUE(publishUntil([] { return gEventsA.count() > 0; }, {{bare, {}}}));
    Seen s = gEventsA.at(0);
    EXPECT_EQ(headerOf<EventHeader>(s).eventId, 77u);
    EXPECT_TRUE(s.payloadNull);
    EXPECT_EQ(s.len, 0);

    // The subscriber's length is the payload length modulo 256.
    gEventsA.clear();
    std::vector<char> big(300);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    EventHeader withData{3, 0, 78};
    ASSERT_TRUE(publishUntil([] { return gEventsA.count() > 0; }, {{withData, big}}));
    s = gEventsA.at(0);
    EXPECT_EQ(headerOf<EventHeader>(s).eventId, 78u);
    EXPECT_FALSE(s.payloadNull);
    ASSERT_EQ(s.len, 44);
    EXPECT_TRUE(std::equal(s.msg.begin() + 8, s.msg.end(), big.begin()));

    EXPECT_EQ(IPC_Publish(nullptr, nullptr, 0), IPC_BAD_ARGUMENT);
    EXPECT_EQ(IPC_Publish(&bare, nullptr, 5), IPC_BAD_ARGUMENT);
    ASSERT_EQ(IPC_ClosePublisher(), IPC_OK);
    EXPECT_EQ(IPC_Publish(&bare, nullptr, 0), IPC_NO_ENDPOINT);
}

TEST_F(IpcPubSub, OnlySubscribedTopicsArriveAndTheFirstHandlerServesThemAll)
{
    ASSERT_EQ(IPC_Subscribe("Mif", 1, onEventA), IPC_OK);
    ASSERT_EQ(IPC_Subscribe("Mif", 2, onEventB), IPC_OK);
    EXPECT_EQ(IPC_Subscribe("Mif", 1, onEventB), IPC_ALREADY_PRESENT);

    auto sawTopics = [] {
        bool one = false, two = false;
        for (size_t i = 0; i < gEventsA.count(); ++i) {
            uint16_t t = headerOf<EventHeader>(gEventsA.at(i)).topic;
            one = one || t == 1;
            two = two || t == 2;
        }
        return one && two;
    };
    ASSERT_TRUE(publishUntil(sawTopics, {{{3, 0, 3}, {}}, {{1, 0, 1}, {}}, {{2, 0, 2}, {}},
                                         {{0x0201, 0, 4}, {}}}));
    for (size_t i = 0; i < gEventsA.count(); ++i) {
        uint16_t t = headerOf<EventHeader>(gEventsA.at(i)).topic;
        EXPECT_TRUE(t == 1 || t == 2) << "topic " << t;
    }
    EXPECT_EQ(gEventsB.count(), 0u);
}

TEST_F(IpcPubSub, TenTopicSlotsPerPeer)
{
    for (uint16_t t = 0; t < 10; ++t)
        ASSERT_EQ(IPC_Subscribe("Mif", t, onEventA), IPC_OK) << t;
    EXPECT_EQ(IPC_Subscribe("Mif", 10, onEventA), IPC_FAILURE);
    // Another peer has slots of its own.
    EXPECT_EQ(IPC_Subscribe("Mcl", 10, onEventA), IPC_OK);

    ASSERT_EQ(IPC_Unsubscribe("Mif", 4), IPC_OK);
    EXPECT_EQ(IPC_Subscribe("Mif", 10, onEventA), IPC_OK);  // the freed slot
    ASSERT_TRUE(publishUntil([] { return gEventsA.count() > 0; }, {{{10, 0, 1}, {}}}));

    // An unsubscription of a topic that is not there frees no slot.
    EXPECT_EQ(IPC_Unsubscribe("Mif", 4), IPC_OK);
    EXPECT_EQ(IPC_Subscribe("Mif", 4, onEventA), IPC_FAILURE);
}

TEST_F(IpcPubSub, UnsubscribingTheLastTopicClosesTheEndpointAndItsThread)
{
    int before = threadCount();
    ASSERT_EQ(IPC_Subscribe("Mif", 1, onEventA), IPC_OK);
    ASSERT_EQ(IPC_Subscribe("Mif", 2, onEventA), IPC_OK);
    EXPECT_EQ(threadCount(), before + 1);

    ASSERT_EQ(IPC_Unsubscribe("Mif", 1), IPC_OK);
    EXPECT_EQ(threadCount(), before + 1);  // the entry and its thread stay
    ASSERT_TRUE(publishUntil([] { return gEventsA.count() > 0; }, {{{2, 0, 2}, {}}}));

    ASSERT_EQ(IPC_Unsubscribe("Mif", 2), IPC_OK);
    EXPECT_TRUE(threadsSettleAt(before));
    EXPECT_EQ(IPC_Unsubscribe("Mif", 2), IPC_NO_ENDPOINT);
    EXPECT_EQ(IPC_WaitEvent(2, 0, 0, 100), IPC_NO_ENDPOINT);

    // A new subscription opens a new endpoint.
    gEventsA.clear();
    ASSERT_EQ(IPC_Subscribe("Mif", 2, onEventB), IPC_OK);
    ASSERT_TRUE(publishUntil([] { return gEventsB.count() > 0; }, {{{2, 0, 2}, {}}}));
    EXPECT_EQ(gEventsA.count(), 0u);
}

}  // namespace
