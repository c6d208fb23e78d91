// The logger, the network daemon and the supervisor over the messaging
// library, with the test as the daemon: the level threshold and its
// changes, what becomes of log entries, the no-GUI request, and the
// supervisor's handshake and shutdown.
#include "sim_test_util.h"

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>

#include "frame/log_ring.h"
#include "requests/request_codes.h"
#include "peers.h"

namespace {

EventLog gEvents;
void onEvent(const void *msg, const void *payload, uint8_t len) { gEvents.add(msg, payload, len); }
void ignoreEvent(const void *, const void *, uint8_t) {}

std::atomic<int> gSurveys{0};
void answerSurvey(const void *, const void *, int, ResponseHeader *, void **, int *) { gSurveys++; }

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gEvents.clear();
        setenv("MIF_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override
    {
        IPC_Deinit();
        unsetenv("MIF_ROOT");
    }
    void startAs(const std::vector<std::string> &args)
    {
        ASSERT_TRUE(child_.start(root_, args));
        ASSERT_EQ(IPC_Init(MIF_PROCESS_ID, MIF_PROCESS_NAME), IPC_OK);
    }
    std::string file(const char *appliancePath)
    {
        return root_.exists(appliancePath) ? root_.read(appliancePath) : std::string();
    }

    TempRoot root_;
    SimChild child_;
};

void pushLog(uint32_t kind, uint32_t level, const std::vector<uint8_t> &payload)
{
    LogHeader hdr{};
    hdr.kind = kind;
    hdr.level = level;
    ASSERT_EQ(IPC_PushLog(LOGGER_PROCESS_NAME, &hdr, payload.data(), int(payload.size())), IPC_OK);
}

std::vector<uint8_t> text(const std::string &s) { return std::vector<uint8_t>(s.c_str(), s.c_str() + s.size() + 1); }

// The daemon's black-box payload: two zero words, both lengths, both texts.
std::vector<uint8_t> record(const std::string &code, const std::string &message)
{
    std::vector<uint8_t> bytes = bytesOf(uint32_t(0), uint32_t(0), uint32_t(code.size() + 1), uint32_t(message.size() + 1));
    for (const std::string &s : {code, message})
        bytes.insert(bytes.end(), s.c_str(), s.c_str() + s.size() + 1);
    return bytes;
}

TEST_F(PeerTest, LoggerReportsAndAnnouncesItsThresholdAndWritesWhatIsLogged)
{
    startAs({"logger"});
    ASSERT_EQ(IPC_OpenRequester(LOGGER_PROCESS_NAME, REPLY_TIMEOUT_MS), IPC_OK);
    ASSERT_EQ(IPC_OpenLogPush(LOGGER_PROCESS_NAME, LOG_PUSH_TIMEOUT_MS), IPC_OK);
    ASSERT_EQ(IPC_Subscribe(LOGGER_PROCESS_NAME, LOGGER_TOPIC, onEvent), IPC_OK);

    Answer level;
    ASSERT_TRUE(eventually([&] { return (level = ask(LOGGER_PROCESS_NAME, LOGGER_LEVEL_QUERY)).ok(); }, 5000));
    ASSERT_EQ(level.payload.size(), 4u);
    EXPECT_EQ(level.at<uint32_t>(0), 6u);
    EXPECT_EQ(ask(LOGGER_PROCESS_NAME, 3).status, 1u);

    // A change is published on topic 9 as event 5 (until the subscription
    // is connected, the first announcements may be missed: repeat).
    ASSERT_TRUE(eventually(
        [&] {
            child_.control("threshold 4");
            return gEvents.waitFor(LOGGER_EVENT_THRESHOLD, nullptr, 200);
        },
        5000));
    SeenEvent change;
    ASSERT_TRUE(gEvents.waitFor(LOGGER_EVENT_THRESHOLD, &change));
    EXPECT_EQ(change.topic, LOGGER_TOPIC);
    EXPECT_EQ(change.at<uint32_t>(0), 4u);
    EXPECT_EQ(ask(LOGGER_PROCESS_NAME, LOGGER_LEVEL_QUERY).at<uint32_t>(0), 4u);

    pushLog(LOG_KIND_TEXT, 5, text("[MIF] send READY to Supervisor\n"));
    pushLog(LOG_KIND_BLACKBOX_RECORD, 0, record("RS", "MCH_INSTALL_DATA"));
    pushLog(LOG_KIND_BLACKBOX_RECORD, 0, record("22", "motor too hot"));
    pushLog(LOG_KIND_BLACKBOX_ERROR, 0, record("21", "machine error 21"));
    ASSERT_TRUE(eventually([&] { return file("/mnt/rwfs/data/tech_box/ErrorEvents.log").find(";21;") != std::string::npos; }));

    std::string log = file("/var/log/mifd.log");
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <5> \[MIF\] send READY to Supervisor\n$)")))
        << log;
    // Black-box records become "<ms>;<code>;<message>" lines: all in the
    // black box, the service records among the events as well.
    std::string blackBox = file("/mnt/rwfs/data/tech_box/OperationalData.log");
    std::string events = file("/mnt/rwfs/data/tech_box/Events.log");
    EXPECT_TRUE(std::regex_search(blackBox, std::regex(R"((^|\n)\d+;RS;MCH_INSTALL_DATA\n)"))) << blackBox;
    EXPECT_TRUE(std::regex_search(blackBox, std::regex(R"((^|\n)\d+;22;motor too hot\n)"))) << blackBox;
    EXPECT_TRUE(std::regex_search(events, std::regex(R"((^|\n)\d+;RS;MCH_INSTALL_DATA\n)"))) << events;
    EXPECT_EQ(events.find("motor too hot"), std::string::npos);
}

TEST_F(PeerTest, NetworkDaemonSwitchesToNoGuiOnRequest10)
{
    startAs({"netlink"});
    ASSERT_EQ(IPC_OpenRequester(NETLINK_PROCESS_NAME, REPLY_TIMEOUT_MS), IPC_OK);
    Answer answer;
    ASSERT_TRUE(eventually([&] { return (answer = ask(NETLINK_PROCESS_NAME, NETLINK_NO_GUI_SWITCH)).ok(); }, 5000));
    ASSERT_EQ(answer.payload.size(), 1u);
    EXPECT_EQ(answer.payload[0], 1);
    EXPECT_EQ(ask(NETLINK_PROCESS_NAME, 11).status, 1u);
}

// The daemon's side of the handshake: READY, the start event (which the
// supervisor repeats until START, so a wait that begins after the push
// still sees it), START; then the shutdown request. The supervisor ends
// with the appliance once the daemon is gone (here: stops answering its
// surveys).
TEST_F(PeerTest, SupervisorHandshakeAndShutdown)
{
    startAs({"supervisor"});
    ASSERT_EQ(IPC_OpenRespondent(SUPERVISOR_PROCESS_NAME, answerSurvey), IPC_OK);
    ASSERT_EQ(IPC_OpenPush(SUPERVISOR_PROCESS_NAME, SUPERVISOR_PUSH_TIMEOUT_MS), IPC_OK);
    ASSERT_EQ(IPC_Subscribe(SUPERVISOR_PROCESS_NAME, SUPERVISOR_TOPIC, ignoreEvent), IPC_OK);

    PushHeader ready{0, SUPERVISOR_READY};
    ASSERT_EQ(IPC_Push(SUPERVISOR_PROCESS_NAME, &ready, nullptr, 0), IPC_OK);
    EXPECT_EQ(IPC_WaitEvent(SUPERVISOR_TOPIC, SUPERVISOR_START_EVENT_BIT, SUPERVISOR_START_EVENT_BIT, 5000), IPC_OK);
    PushHeader start{0, SUPERVISOR_START};
    ASSERT_EQ(IPC_Push(SUPERVISOR_PROCESS_NAME, &start, nullptr, 0), IPC_OK);
    EXPECT_TRUE(eventually([&] { return child_.output().find("START from process 5") != std::string::npos; }));
    EXPECT_TRUE(eventually([] { return gSurveys > 0; }, 5000));

    ASSERT_EQ(IPC_OpenRequester(SUPERVISOR_PROCESS_NAME, REPLY_TIMEOUT_MS), IPC_OK);
    EXPECT_EQ(ask(SUPERVISOR_PROCESS_NAME, SUPERVISOR_SHUTDOWN_REQUEST, bytesOf(uint32_t(3))).status, 1u);
    EXPECT_EQ(child_.waitExit(300), -1);
    Answer shutdown = ask(SUPERVISOR_PROCESS_NAME, SUPERVISOR_SHUTDOWN_REQUEST, bytesOf(uint32_t(SUPERVISOR_SHUTDOWN_VALUE)));
    EXPECT_TRUE(shutdown.ok());
    ASSERT_EQ(IPC_CloseRespondent(SUPERVISOR_PROCESS_NAME), IPC_OK);
    EXPECT_EQ(child_.waitExit(15000), int(SUPERVISOR_EXIT_SHUTDOWN)) << child_.output();
}

}  // namespace
