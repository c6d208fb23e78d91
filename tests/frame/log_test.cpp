#include "frame/log.h"
#include "frame/log_ring.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Each test gets a fresh ring and no threshold.
class LogRingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logRingFree();
        logSetThreshold(0);
    }
    void TearDown() override
    {
        logRingFree();
        logSetThreshold(0);
    }

    std::vector<std::string> queuedTexts()
    {
        std::vector<std::string> texts;
        LogEntry entry;
        for (unsigned i = 0; logRingPeek(i, &entry); i++) {
            texts.emplace_back(entry.text ? entry.text : "");
            logEntryRelease(&entry);
        }
        return texts;
    }
};

TEST_F(LogRingTest, NothingIsQueuedBeforeStartOrAfterStop)
{
    LOGGER_LogMessage(5, 0, "before start");
    LOGGER_LogBlackboxRecord("RS", "x");
    EXPECT_EQ(logRingCount(), 0u);

    ASSERT_TRUE(logRingStart(5, 10));
    EXPECT_FALSE(logRingStart(5, 10)) << "a second start must not replace the ring";
    LOGGER_LogMessage(5, 0, "kept");
    EXPECT_EQ(logRingCount(), 1u);

    logRingStop();
    LOGGER_LogMessage(5, 0, "after stop");
    EXPECT_EQ(logRingCount(), 1u);
}

TEST_F(LogRingTest, FullRingKeepsTheNewestEntries)
{
    ASSERT_TRUE(logRingStart(5, 10));
    for (int i = 1; i <= 11; i++)
        LOGGER_LogMessage(5, 0, "message %d", i);
    std::vector<std::string> texts = queuedTexts();
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts.front(), "message 2");
    EXPECT_EQ(texts.back(), "message 11");

    // Taking entries hands out private copies in order of arrival.
    LogEntry entry;
    ASSERT_TRUE(logRingTake(&entry));
    EXPECT_STREQ(entry.text, "message 2");
    EXPECT_EQ(entry.textLength, strlen("message 2"));
    EXPECT_EQ(entry.sourceId, 5u);
    EXPECT_EQ(entry.kind, uint32_t(LOG_KIND_TEXT));
    EXPECT_EQ(entry.level, 5u);
    logEntryRelease(&entry);
    EXPECT_EQ(logRingCount(), 9u);
}

// A full ring gives up the oldest entry of the least severe level queued;
// errors and black-box records give way only to each other, and a new entry
// less severe than everything queued is the one dropped.
TEST_F(LogRingTest, FullRingEvictsTheLeastSevereEntriesFirst)
{
    ASSERT_TRUE(logRingStart(5, 10));
    LOGGER_LogBlackboxRecord("RS", "SVC_SET_EVENTS");
    LOGGER_LogMessage(6, 0, "trace 1");
    LOGGER_LogMessage(3, 0, "error 1");
    LOGGER_LogMessage(5, 0, "notice 1");
    LOGGER_LogMessage(4, 0, "warning 1");
    LOGGER_LogMessage(6, 0, "trace 2");
    LOGGER_LogMessage(5, 0, "notice 2");
    LOGGER_LogMessage(4, 0, "warning 2");
    LOGGER_LogMessage(6, 0, "trace 3");
    LOGGER_LogBlackboxRecord("RE", "SVC_SET_EVENTS,ACK");
    ASSERT_EQ(logRingCount(), 10u);

    // A burst of traces replaces the traces only, oldest first.
    for (int i = 4; i <= 6; i++)
        LOGGER_LogMessage(6, 0, "trace %d", i);
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"", "error 1", "notice 1", "warning 1", "notice 2",
                                                       "warning 2", "", "trace 4", "trace 5", "trace 6"}));
    // A warning takes a trace's place; once no trace is left, a notice's.
    for (int i = 3; i <= 6; i++)
        LOGGER_LogMessage(4, 0, "warning %d", i);
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"", "error 1", "warning 1", "notice 2", "warning 2", "",
                                                       "warning 3", "warning 4", "warning 5", "warning 6"}));
    // With no trace queued a trace is dropped; a notice takes the last
    // notice's place.
    LOGGER_LogMessage(6, 0, "trace 7");
    EXPECT_EQ(queuedTexts().back(), "warning 6");
    LOGGER_LogMessage(5, 0, "notice 3");
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"", "error 1", "warning 1", "warning 2", "", "warning 3",
                                                       "warning 4", "warning 5", "warning 6", "notice 3"}));
    // Errors and records push out notices and warnings; a warning then has
    // no place.
    for (int i = 2; i <= 8; i++)
        LOGGER_LogMessage(3, 0, "error %d", i);
    LOGGER_LogMessage(4, 0, "warning 7");
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"", "error 1", "", "error 2", "error 3", "error 4",
                                                       "error 5", "error 6", "error 7", "error 8"}));
    // Among themselves the oldest gives way, record or error.
    auto kindAt = [](unsigned i) {
        LogEntry entry{};
        uint32_t kind = logRingPeek(i, &entry) ? entry.kind : 99;
        logEntryRelease(&entry);
        return kind;
    };
    LOGGER_LogBlackboxRecord("TE", "x");
    EXPECT_EQ(queuedTexts().front(), "error 1") << "the oldest record gave way";
    EXPECT_EQ(kindAt(9), uint32_t(LOG_KIND_BLACKBOX_RECORD));
    LOGGER_LogMessage(3, 0, "error 9");
    EXPECT_EQ(kindAt(0), uint32_t(LOG_KIND_BLACKBOX_RECORD));
    EXPECT_EQ(queuedTexts().back(), "error 9");
    EXPECT_EQ(logRingCount(), 10u);
}

TEST_F(LogRingTest, CapacityIsCappedAt500)
{
    ASSERT_TRUE(logRingStart(5, 1000));
    for (int i = 0; i < 600; i++)
        LOGGER_LogMessage(5, 0, "m%d", i);
    EXPECT_EQ(logRingCount(), 500u);
    EXPECT_EQ(queuedTexts().front(), "m100");
}

TEST_F(LogRingTest, ThresholdFiltersBeforeFormatting)
{
    ASSERT_TRUE(logRingStart(5, 10));
    LOGGER_LogMessage(6, 0, "trace without threshold");
    EXPECT_EQ(logRingCount(), 1u) << "with no threshold known every level is queued";

    logSetThreshold(5);
    LOGGER_LogMessage(6, 0, "%s", "trace above threshold");
    LOGGER_LogMessage(5, 0, "notice");
    LOGGER_LogMessage(3, 0, "error");
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"trace without threshold", "notice", "error"}));
}

TEST_F(LogRingTest, LongTextIsCutAndEmptyTextDropped)
{
    ASSERT_TRUE(logRingStart(5, 10));
    std::string big(5000, 'x');
    LOGGER_LogMessage(5, 0, "%s", big.c_str());
    LOGGER_LogMessage(5, 0, "%s", "");
    LogEntry entry;
    ASSERT_TRUE(logRingTake(&entry));
    EXPECT_EQ(entry.textLength, 4095u);
    EXPECT_EQ(strlen(entry.text), 4095u);
    logEntryRelease(&entry);
    EXPECT_EQ(logRingCount(), 0u);
}

TEST_F(LogRingTest, BlackboxRecordPayloadLayout)
{
    ASSERT_TRUE(logRingStart(5, 10));
    logSetThreshold(3);   // records are not filtered by level
    LOGGER_LogBlackboxRecord("RS", "MCH_INSTALL_DATA");
    LOGGER_LogBlackboxRecord("RE", nullptr);

    LogEntry entry;
    ASSERT_TRUE(logRingTake(&entry));
    EXPECT_EQ(entry.kind, uint32_t(LOG_KIND_BLACKBOX_RECORD));
    EXPECT_EQ(entry.level, 0u);
    EXPECT_EQ(entry.text, nullptr);
    const uint8_t expected[] = {0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 17, 0, 0, 0, 'R', 'S', 0,
                                'M', 'C', 'H', '_', 'I', 'N', 'S', 'T', 'A', 'L', 'L', '_', 'D', 'A', 'T', 'A', 0};
    ASSERT_EQ(entry.dataSize, sizeof expected);
    uint32_t codeLength, messageLength;
    memcpy(&codeLength, expected + 8, 4);
    memcpy(&messageLength, expected + 12, 4);
    EXPECT_EQ(codeLength, 3u);   // host order: the bytes above are little-endian
    EXPECT_EQ(messageLength, 17u);
    uint32_t gotCode, gotMessage;
    memcpy(&gotCode, entry.data + 8, 4);
    memcpy(&gotMessage, entry.data + 12, 4);
    EXPECT_EQ(gotCode, 3u);
    EXPECT_EQ(gotMessage, 17u);
    EXPECT_EQ(0, memcmp(entry.data + 16, expected + 16, sizeof expected - 16));
    EXPECT_EQ(0, memcmp(entry.data, expected, 8));
    logEntryRelease(&entry);

    ASSERT_TRUE(logRingTake(&entry));
    EXPECT_EQ(entry.dataSize, 16u + 3u + 1u) << "a null message is the empty text";
    logEntryRelease(&entry);
}

TEST_F(LogRingTest, RecordTextsStayOneLine)
{
    ASSERT_TRUE(logRingStart(5, 10));
    LOGGER_LogBlackboxRecord("R\nS", "first\r\n0x1;RE;forged\tend\x1b\x7f \xc3\xa9");
    LogEntry entry;
    ASSERT_TRUE(logRingTake(&entry));
    const char *code = reinterpret_cast<const char *>(entry.data + 16);
    EXPECT_STREQ(code, "R S");
    // Control bytes become blanks one for one; printable and UTF-8 bytes stay.
    EXPECT_STREQ(code + 4, "first  0x1;RE;forged end   \xc3\xa9");
    logEntryRelease(&entry);

    char text[] = "a\x01" "b\x1f" "c~";
    blankControlBytes(text);
    EXPECT_STREQ(text, "a b c~");
    blankControlBytes(nullptr);
}

TEST_F(LogRingTest, SenderWaitsForThresholdAndDrainsAtStop)
{
    ASSERT_TRUE(logRingStart(5, 10));
    LOGGER_LogMessage(5, 0, "queued");
    // No threshold yet: the sender would park. Stopping wakes it to drain.
    logRingStop();
    EXPECT_TRUE(logRingWaitForWork());
    LogEntry entry;
    ASSERT_TRUE(logRingTake(&entry));
    logEntryRelease(&entry);
    EXPECT_FALSE(logRingWaitForWork()) << "stopped and empty: the sender ends";
}

TEST(ConsoleLog, OnlyLevelsUpToTwoArePrinted)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(consoleLog(2, "shown %d\n", 2), 2u);
    EXPECT_EQ(consoleLog(3, "hidden\n"), 3u);
    EXPECT_EQ(consoleLog(0, nullptr), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown 2\n");
}

} // namespace
