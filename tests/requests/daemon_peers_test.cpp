// The real daemon against peers played by the test: the start-up requests,
// the supervisor handshake, the shutdown report and the log reaching LoggerD.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>

#include "requests/request_codes.h"
#include "session/command_list.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

namespace {

bool accepts(const Daemon &daemon)
{
    Client probe;
    return probe.connect(daemon.port());
}

// This process is the supervisor and the logger; machine control and the
// network daemon are the harness's.
class SupervisedDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.start(root.path(), PeerRole::Supervisor));
        ASSERT_TRUE(peer.addRole(PeerRole::Logger));
    }
    void TearDown() override
    {
        daemon.signalAndWait(SIGKILL, 5000);
        peer.stop();
    }

    std::vector<uint32_t> pushCodes() const
    {
        std::vector<uint32_t> codes;
        for (const PeerPush &p : peer.pushes())
            codes.push_back(p.code);
        return codes;
    }
    // A client's MCH_SHUTDOWN, and the daemon's orderly end.
    void shutDownDaemon()
    {
        Client c;
        ASSERT_TRUE(c.connect(daemon.port()));
        ASSERT_EQ(c.authenticate("testlab"), "ACK");
        EXPECT_EQ(c.call(MCH_SHUTDOWN, "0"), "ACK");
        EXPECT_EQ(daemon.waitExit(10000), 0);
    }
    // The sequence number of the first log line with this text, or 0.
    uint64_t logged(const std::string &text) const
    {
        for (const PeerLogEntry &e : peer.logEntries())
            if (e.header.kind == 0 && e.text() == text)
                return e.seq + 1;
        return 0;
    }
    TempRoot root;
    IpcPeer peer;
    Daemon daemon;
};

TEST_F(SupervisedDaemonTest, NoWaitModeNeverTalksToTheSupervisor)
{
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    EXPECT_TRUE(peer.waitForLogText(
        "[MIF] Started in NOWAIT Mode, starting without synchronising with Supervisor", 5000));
    EXPECT_EQ(logged("[MIF] send READY to Supervisor"), 0u);
    EXPECT_TRUE(pushCodes().empty());
}

TEST_F(SupervisedDaemonTest, HandshakeServesClientsOnlyAfterTheStartEvent)
{
    bool started = false;
    std::thread starting([&] { started = daemon.start(root, {}); });

    ASSERT_TRUE(peer.waitForPushes(1, 4000));
    EXPECT_EQ(pushCodes(), (std::vector<uint32_t>{SUPERVISOR_READY}));
    EXPECT_EQ(peer.pushes()[0].senderId, 5u);
    EXPECT_TRUE(peer.waitForLogText("[MIF] wait for Start Event from Supervisor", 2000));

    // Events on the topic without the start bit do not end the wait.
    for (int i = 0; i < 6; i++) {
        peer.publish(SUPERVISOR_TOPIC, 0x0F);
        peer.publish(SUPERVISOR_TOPIC, 0x20);
        peer.waitFor([] { return false; }, 50);
    }
    EXPECT_EQ(pushCodes().size(), 1u);
    EXPECT_FALSE(accepts(daemon));

    EXPECT_TRUE(peer.publishUntil(SUPERVISOR_TOPIC, 0x11, {}, [&] { return pushCodes().size() >= 2; }, 4000));
    starting.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(pushCodes(), (std::vector<uint32_t>{SUPERVISOR_READY, SUPERVISOR_START}));
    EXPECT_TRUE(peer.waitForLogText("[MIF] send START to Supervisor", 2000));
    uint64_t normal = logged("[MIF] Started in NORMAL Mode, waiting for Supervisor");
    uint64_t ready = logged("[MIF] send READY to Supervisor");
    uint64_t wait = logged("[MIF] wait for Start Event from Supervisor");
    uint64_t start = logged("[MIF] send START to Supervisor");
    EXPECT_TRUE(normal && normal < ready && ready < wait && wait < start);
}

TEST_F(SupervisedDaemonTest, SupervisorSurveysAreAnswered)
{
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    // The daemon's respondent may still be connecting: survey until it answers.
    ASSERT_TRUE(peer.waitFor([&] { return peer.survey(3, 300) && !peer.responses().empty(); }, 5000));
    PeerResponse response = peer.responses()[0];
    EXPECT_EQ(response.header.respondentId, 5u);
    EXPECT_EQ(response.header.surveyCode, 3u);
    EXPECT_EQ(response.header.responseWord, 0u);
    EXPECT_EQ(response.header.status, 0u);
    EXPECT_TRUE(response.payload.empty());
}

TEST_F(SupervisedDaemonTest, ShutdownIsReportedFirstAndTheLastLinesReachTheLogger)
{
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    shutDownDaemon();

    std::vector<PeerRequest> shutdown = peer.requests(SUPERVISOR_SHUTDOWN_REQUEST);
    ASSERT_EQ(shutdown.size(), 1u);
    EXPECT_EQ(shutdown[0].payload, bytesOf(uint32_t(SUPERVISOR_SHUTDOWN_VALUE)));
    // The logger client was stopped before the messaging layer, so the
    // lines of the very end arrived too, after the supervisor was told.
    ASSERT_TRUE(peer.waitForLogText("[MIF] Shutting down...", 2000));
    uint64_t told = logged("[MIF] Sending shutdown request to the supervisor");
    EXPECT_NE(told, 0u);
    EXPECT_LT(told, logged("[MIF] Shutting down..."));
    EXPECT_LT(shutdown[0].seq, logged("[MIF] Shutting down...") - 1);
    EXPECT_EQ(logged("[MIF] Shutdown request failed"), 0u);
}

TEST_F(SupervisedDaemonTest, RefusedShutdownIsLoggedAndTheDaemonEndsAnyway)
{
    peer.setReply(SUPERVISOR_SHUTDOWN_REQUEST, 3);
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    shutDownDaemon();
    EXPECT_TRUE(peer.waitForLogText("[MIF] Shutting down...", 2000));
    EXPECT_NE(logged("[MIF] Shutdown request failed"), 0u);
}

TEST_F(SupervisedDaemonTest, LoggerEventChangesTheThreshold)
{
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    // The daemon traces each request it relays at level 6 while the logger
    // lets level 6 through.
    EXPECT_TRUE(peer.waitForLogText("RemoteIF_setRemoteIFActive", 5000));
    // Another event id is only traced; once its trace arrives, the daemon's
    // subscription is known to be connected.
    EXPECT_TRUE(peer.publishUntil(LOGGER_TOPIC, 4, bytesOf(uint32_t(3)),
                                  [&] { return logged("[MIF] LoggerSubscriberHandler: Received EventId: 4 TopicId:9\n") != 0; },
                                  4000));
    for (int i = 0; i < 3; i++)
        peer.publish(LOGGER_TOPIC, LOGGER_EVENT_THRESHOLD, bytesOf(uint32_t(3)));
    peer.waitFor([] { return false; }, 300);
    // From now on only errors: the shutdown's notices no longer arrive.
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_EQ(c.authenticate("testlab"), "ACK");
    peer.clear();
    // An error still arrives: a log file that is not there cannot be sent.
    EXPECT_EQ(c.call(SVC_GET_MATRIX, nullptr), "NAK: No data to send");
    EXPECT_EQ(c.call(MCH_SHUTDOWN, "0"), "ACK");
    EXPECT_EQ(daemon.waitExit(10000), 0);
    EXPECT_EQ(peer.requests(SUPERVISOR_SHUTDOWN_REQUEST).size(), 1u);
    EXPECT_TRUE(peer.waitForLogText("sendFileCommand", 2000)) << "the error line never arrived";
    for (const PeerLogEntry &e : peer.logEntries())
        EXPECT_LE(e.header.level, 3u) << e.text();
}

// This process is machine control.
class MachineStartupTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl)); }
    void TearDown() override { mcl.stop(); }

    // Starts the daemon, waits for its start-up requests and ends it;
    // whether it asked for a warm start.
    bool askedForWarmStart()
    {
        mcl.clear();
        Daemon daemon;
        EXPECT_TRUE(daemon.start(root, {"-nowait"}));
        EXPECT_TRUE(mcl.waitForRequests(GUI_REQUEST_ROTARY_MODE, 1, 5000));
        daemon.signalAndWait(SIGTERM, 3000);
        return !mcl.requests(RIF_SET_WARM_START).empty();
    }

    TempRoot root;
    IpcPeer mcl;
};

TEST_F(MachineStartupTest, StartupRequestsGoOutInOrder)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    ASSERT_TRUE(mcl.waitForRequests(GUI_REQUEST_ROTARY_MODE, 1, 5000));
    std::vector<PeerRequest> seen = mcl.requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].code, uint32_t(RIF_SET_WARM_START));
    EXPECT_EQ(seen[0].payload, (Bytes{1}));
    EXPECT_EQ(seen[1].code, uint32_t(RIF_SET_REMOTE_IF_ACTIVE));
    EXPECT_EQ(seen[1].payload, (Bytes{1}));
    EXPECT_EQ(seen[2].code, uint32_t(GUI_ENABLE_BALANCE));
    EXPECT_EQ(seen[2].payload, (Bytes{0}));
    EXPECT_EQ(seen[3].code, uint32_t(GUI_REQUEST_ROTARY_MODE));
    EXPECT_EQ(seen[3].payload, bytesOf(int32_t(ROTARY_MODE_NORMAL)));
    EXPECT_EQ(seen[3].replace, 1u);
    EXPECT_TRUE(accepts(daemon));
}

// Machine control's events on both topics reach the daemon's handlers,
// which record them in the machine-state log.
TEST_F(MachineStartupTest, EventsReachTheDaemonsHandlers)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.start(root, {"-nowait"}));
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_EQ(c.authenticate("testlab"), "ACK");
    auto stateHas = [&](const std::string &fragment) {
        // Reading the state log empties it: a line once seen stays seen.
        auto seen = std::make_shared<bool>(false);
        return [&c, fragment, seen] {
            *seen = *seen || c.call(MCH_GET_STATE, nullptr).find(fragment) != std::string::npos;
            return *seen;
        };
    };
    EXPECT_TRUE(mcl.publishUntil(MCL_TOPIC_0, MCL_EV_CURRENT_TEMPERATURE, bytesOf(uint32_t(77)),
                                 stateHas(":DT:77;"), 5000));
    Bytes time = bytesOf(uint32_t(2));
    Bytes seconds = bytesOf(uint32_t(5));
    time.insert(time.end(), seconds.begin(), seconds.end());
    EXPECT_TRUE(mcl.publishUntil(MCL_TOPIC_1, MCL_EV_TIME_CHANGED, time, stateHas(":TI:125;"), 5000));
}

TEST_F(MachineStartupTest, WarmStartOnlyWithoutASerialNumber)
{
    const std::string file = "/mnt/rwfs/data/system_config/qxsn.dat";
    EXPECT_TRUE(askedForWarmStart()) << "no file";
    root.write(file, "00000000000000000");
    EXPECT_TRUE(askedForWarmStart()) << "seventeen zeros";
    root.write(file, "1234567890");
    EXPECT_TRUE(askedForWarmStart()) << "short";
    root.write(file, "00000000000000001");
    EXPECT_FALSE(askedForWarmStart()) << "a serial";
}

} // namespace

namespace {

// No peer at all: every request runs into its time-outs, and yet the daemon
// starts serving and ends in order.
TEST(DaemonWithoutPeers, StartsAndEndsWithoutHanging)
{
    TempRoot root;
    Daemon daemon;
    daemon.defaultPeers = false;
    daemon.start(root, {"-nowait"});   // may give up waiting before the port opens
    Client c;
    for (int i = 0; i < 300 && !c.connect(daemon.port()); i++)   // about 15 s
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(c.fd(), 0);
    ASSERT_EQ(c.authenticate("testlab"), "ACK");
    EXPECT_EQ(c.call(MCH_SHUTDOWN, "0"), "ACK");
    EXPECT_EQ(daemon.waitExit(15000), 0);
}

} // namespace
