// The console's event stream.
#include <gtest/gtest.h>

#include <thread>

#include "event_hub.h"

TEST(ConsoleEventHub, ReaderGetsEverythingAfterItsNumber)
{
    EventHub hub;
    EXPECT_EQ(hub.lastSeq(), 0u);
    hub.publish("status", "{\"link\":\"up\"}");
    hub.publish("sample", "{\"t\":1}");
    std::vector<HubEvent> events;
    ASSERT_TRUE(hub.waitAfter(0, 10, &events));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "status");
    EXPECT_EQ(events[1].seq, 2u);
    ASSERT_TRUE(hub.waitAfter(2, 10, &events));
    EXPECT_TRUE(events.empty());
}

TEST(ConsoleEventHub, LateReaderStartsAtTheOldestKept)
{
    EventHub hub;
    for (int i = 0; i < 600; i++)
        hub.publish("sample", std::to_string(i));
    std::vector<HubEvent> events;
    ASSERT_TRUE(hub.waitAfter(0, 10, &events));
    ASSERT_FALSE(events.empty());
    EXPECT_LT(events.size(), 600u);
    EXPECT_EQ(events.back().data, "599");
}

TEST(ConsoleEventHub, PublishWakesAndCloseEndsWaits)
{
    EventHub hub;
    std::vector<HubEvent> events;
    std::thread writer([&] { hub.publish("panel", "{}"); });
    ASSERT_TRUE(hub.waitAfter(0, 5000, &events));
    writer.join();
    // Published before or during the wait: either way it is there.
    if (events.empty()) {
        ASSERT_TRUE(hub.waitAfter(0, 10, &events));
    }
    ASSERT_EQ(events.size(), 1u);

    std::thread closer([&] { hub.close(); });
    EXPECT_FALSE(hub.waitAfter(1, 5000, &events));
    closer.join();
}

TEST(ConsoleEventHub, FrameIsOneServerSentEvent)
{
    EXPECT_EQ(sseFrame(HubEvent{7, "progress", "{\"done\":1}"}), "id: 7\nevent: progress\ndata: {\"done\":1}\n\n");
}

TEST(ConsoleEventHub, TextThatIsNotUtf8IsReplacedNotThrown)
{
    const nlohmann::json value = {{"version", "DP-\xff\xfe"}, {"path", "/home/j\xf6rg/key.pem"}};
    EXPECT_THROW(value.dump(), nlohmann::json::type_error);
    EXPECT_EQ(jsonLine(value), "{\"path\":\"/home/j\xEF\xBF\xBDrg/key.pem\",\"version\":\"DP-\xEF\xBF\xBD\xEF\xBF\xBD\"}");
    EXPECT_EQ(jsonLine({{"t", "\u00b0C"}}), "{\"t\":\"\u00b0C\"}");
}
