// The logger client against a logger played by the test: the threshold from
// the level query, what is sent of each entry, and the stop. The client
// starts once per process, so every case runs in a child of its own.
#include "ipc_test_util.h"

#include "frame/log.h"
#include "frame/log_ring.h"
#include "ipc/logger_client.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

namespace {

enum { QUERY_TIMEOUT_MS = 200 };

// This process as the daemon, "Mif", with the logger's sockets leading to
// its own log server and reply server.
struct LoggerSetup {
    explicit LoggerSetup(const std::string &root, bool loggerPresent = true)
    {
        ok = peer.attach(root, "Mif") && IPC_Init(5, "Mif") == IPC_OK &&
             (!loggerPresent || peer.addRole(PeerRole::Logger)) &&
             IPC_OpenRequester("LoggerD", QUERY_TIMEOUT_MS) == IPC_OK &&
             IPC_OpenLogPush("LoggerD", 500) == IPC_OK;
        peer.setSilentHoldMs(QUERY_TIMEOUT_MS + 60);
    }
    ~LoggerSetup()
    {
        peer.stop();
        IPC_Deinit();
    }
    bool ok = false;
    IpcPeer peer;
};

// Runs `body` in a child process; the test fails when any expectation there
// failed.
void isolated(const std::function<void(const std::string &root)> &body)
{
    TempRoot root;
    pid_t pid = startChild([&] {
        body(root.path());
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitChild(pid, 30000), 0);
}

const PeerLogEntry *findText(const std::vector<PeerLogEntry> &entries, const std::string &text)
{
    for (const PeerLogEntry &e : entries)
        if (e.header.kind == LOG_KIND_TEXT && e.text() == text)
            return &e;
    return nullptr;
}

TEST(LoggerClient, NothingIsSentUntilTheThresholdIsKnownThenItFilters)
{
    isolated([](const std::string &root) {
        LoggerSetup setup(root);
        ASSERT_TRUE(setup.ok);
        IpcPeer &logger = setup.peer;
        logger.setSilent(0);
        LOGGER_Start(5, 10);

        LOGGER_LogMessage(5, 0, "abc");
        LOGGER_LogMessage(6, 0, "a trace");
        LOGGER_LogMessage(3, 0, "an error %d", 42);
        LOGGER_LogBlackboxRecord("RS", "MCH_INSTALL_DATA");
        // The logger does not answer: the client keeps asking, sends nothing.
        EXPECT_TRUE(logger.waitForRequests(0, 2, 5000));
        EXPECT_TRUE(logger.logEntries().empty());

        logger.setLoggerThreshold(5);
        logger.setSilent(0, false);
        ASSERT_TRUE(logger.waitFor([&] { return logger.logEntries().size() >= 3; }, 8000));
        std::vector<PeerLogEntry> sent = logger.logEntries();

        // Level 6 was queued while no threshold was known, and dropped when sent.
        EXPECT_EQ(findText(sent, "a trace"), nullptr);
        const PeerLogEntry *abc = findText(sent, "abc");
        ASSERT_NE(abc, nullptr);
        EXPECT_EQ(abc->payload, (Bytes{'a', 'b', 'c', 0}));   // the text and its NUL
        EXPECT_EQ(abc->header.senderId, 5u);
        EXPECT_EQ(abc->header.level, 5u);
        EXPECT_NE(logHeaderTimestamp(&abc->header), 0u);
        EXPECT_NE(findText(sent, "an error 42"), nullptr);

        // The black-box record goes as exactly its data.
        const PeerLogEntry *record = nullptr;
        for (const PeerLogEntry &e : sent)
            if (e.header.kind == LOG_KIND_BLACKBOX_RECORD)
                record = &e;
        ASSERT_NE(record, nullptr);
        Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 17, 0, 0, 0, 'R', 'S', 0};
        for (char ch : std::string("MCH_INSTALL_DATA"))
            expected.push_back(uint8_t(ch));
        expected.push_back(0);
        EXPECT_EQ(record->payload, expected);
        EXPECT_EQ(record->header.level, 0u);

        // Later traces above the threshold are not even queued.
        LOGGER_LogMessage(6, 0, "later trace");
        EXPECT_EQ(logRingCount(), 0u);
        LOGGER_Stop();
    });
}

TEST(LoggerClient, StopSendsWhatIsQueuedAndLeavesNoThread)
{
    isolated([](const std::string &root) {
        LoggerSetup setup(root);
        ASSERT_TRUE(setup.ok);
        int before = baselineThreadCount();
        LOGGER_Start(5, 10);
        ASSERT_TRUE(setup.peer.waitFor([] { return logThreshold() == 6; }, 5000));

        for (int i = 0; i < 8; i++)
            LOGGER_LogMessage(5, 0, "last line %d", i);
        LOGGER_Stop();
        EXPECT_TRUE(threadsSettleAt(before)) << threadCount() << " threads, " << before << " before";
        EXPECT_TRUE(setup.peer.waitFor([&] { return setup.peer.logEntries().size() >= 8; }, 3000));
        for (int i = 0; i < 8; i++)
            EXPECT_NE(findText(setup.peer.logEntries(), "last line " + std::to_string(i)), nullptr) << i;

        // Stopped: further lines are dropped, and a second stop is harmless.
        LOGGER_LogMessage(3, 0, "too late");
        EXPECT_FALSE(logRingRunning());
        LOGGER_Stop();
    });
}

TEST(LoggerClient, LevelQueryEndsWithTheClientWhenTheLoggerIsAbsent)
{
    isolated([](const std::string &root) {
        LoggerSetup setup(root, false);
        ASSERT_TRUE(setup.ok);
        int before = baselineThreadCount();
        LOGGER_Start(5, 10);
        LOGGER_LogMessage(5, 0, "nobody hears this");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        LOGGER_Stop();
        // Both threads joined: the query gave up instead of retrying for ever.
        EXPECT_TRUE(threadsSettleAt(before)) << threadCount() << " threads, " << before << " before";
        EXPECT_EQ(logThreshold(), 0u);
    });
}

TEST(LoggerClient, StartActsOnceAndCapsTheRing)
{
    isolated([](const std::string &root) {
        LoggerSetup setup(root, false);
        ASSERT_TRUE(setup.ok);
        LOGGER_Stop();   // never started: returns at once
        LOGGER_Start(5, 1000);
        LOGGER_Start(5, 3);
        for (int i = 0; i < 600; i++)
            LOGGER_LogMessage(5, 0, "line %d", i);
        EXPECT_EQ(logRingCount(), 500u);
        LogEntry oldest{};
        ASSERT_TRUE(logRingPeek(0, &oldest));
        EXPECT_STREQ(oldest.text, "line 100");   // the newest 500 are kept
        logEntryRelease(&oldest);
        LOGGER_Stop();
    });
}

} // namespace
