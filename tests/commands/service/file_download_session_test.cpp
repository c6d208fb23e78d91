// Fetching service logs through the real daemon: whole files for full-level
// clients, the newest 100 minutes of the operational data and the events
// for service-level clients, with machine control answering the machine
// time from this test process.
#include "requests/request_codes.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"
#include "session/command_list.h"

#include <csignal>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kTechBox = "/mnt/rwfs/data/tech_box/";

std::string line(uint64_t time, const std::string &rest) { return std::to_string(time) + ";" + rest + "\n"; }

class DownloadSessionTest : public ::testing::Test {
protected:
    TempRoot root;
    Daemon daemon;
    Client client;

    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }

    void startAs(const std::string &role)
    {
        ASSERT_TRUE(daemon.start(root));
        ASSERT_TRUE(client.connect(daemon.port()));
        ASSERT_EQ(client.authenticate(role), "ACK");
    }
    // Asks for a log (with an optional rotation suffix) and returns the
    // answer frame.
    Frame fetch(int32_t index, const char *suffix = nullptr, int32_t tag = 33)
    {
        Frame answer;
        EXPECT_TRUE(client.sendText(index, tag, suffix));
        EXPECT_TRUE(client.receive(&answer, 10000));
        EXPECT_EQ(answer.index, index);
        EXPECT_EQ(answer.tag, tag);
        return answer;
    }
    static std::string bytes(const Frame &f) { return std::string(f.payload.begin(), f.payload.end()); }
    void expectInStep() { EXPECT_EQ(client.call(60, nullptr, 77), "NAK: No such command"); }
};

TEST_F(DownloadSessionTest, FullLevelClientGetsWholeLogs)
{
    std::string events;
    for (int i = 0; events.size() < 200000; i++)
        events += line(uint64_t(i) * 1000, "EV;" + std::to_string(i));
    root.write(kTechBox + "Events.log", events);
    root.write(kTechBox + "Events.log.1", line(5, "rotated"));
    root.write(kTechBox + "Matrix.log", "");
    startAs("testlab");

    EXPECT_EQ(bytes(fetch(SVC_GET_EVENTS)), events) << "no time bound at level 5";
    EXPECT_EQ(bytes(fetch(SVC_GET_EVENTS, "1")), line(5, "rotated"));
    EXPECT_EQ(fetch(SVC_GET_EVENTS, "1234").text(), "NAK: No data to send") << "a suffix names no file";
    EXPECT_EQ(fetch(SVC_GET_MATRIX).text(), "NAK: No data to send") << "empty log";
    EXPECT_EQ(fetch(SVC_GET_ERRORS).text(), "NAK: No data to send") << "missing log";
    expectInStep();
}

TEST_F(DownloadSessionTest, ServiceClientWithoutMachineTimeGetsNoBoundedLog)
{
    // Machine control is silent: the window cannot be placed, so a bounded
    // log sends nothing rather than everything; unbounded logs still go.
    IpcPeer mcl;
    ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
    mcl.setSilent(RIF_GET_SYS_TIME);
    root.write(kTechBox + "Events.log", line(3000000, "old") + line(5000000, "new"));
    root.write(kTechBox + "ErrorEvents.log", line(1, "error"));
    startAs("service");
    EXPECT_EQ(fetch(SVC_GET_EVENTS).text(), "NAK: No data to send");
    EXPECT_EQ(bytes(fetch(SVC_GET_ERRORS)), line(1, "error"));
    expectInStep();
}

class BoundedDownloadSessionTest : public DownloadSessionTest {
protected:
    IpcPeer mcl;

    void SetUp() override
    {
        ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
        mcl.setReply(RIF_GET_SYS_TIME, 0, bytesOf<uint64_t>(10000000));
    }
    void TearDown() override
    {
        DownloadSessionTest::TearDown();
        mcl.stop();
    }
    size_t machineTimeRequests() const { return mcl.requests(RIF_GET_SYS_TIME).size(); }
};

TEST_F(BoundedDownloadSessionTest, ServiceClientSeesTheLastHundredMinutes)
{
    const std::string recent = line(4100000, "RE;MCH_SET_SPEED,ACK") + line(5000000, "RS;SVC_GET_EVENTS");
    root.write(kTechBox + "Events.log", line(3000000, "RS;MCH_SET_SPEED") + recent);
    root.write(kTechBox + "OperationalData.log", line(4000000, "first kept") + line(4500000, "x"));
    root.write(kTechBox + "ErrorEvents.log", line(3000000, "old error"));
    startAs("service");

    Frame f = fetch(SVC_GET_EVENTS);
    EXPECT_EQ(f.payload.size(), recent.size()) << "the header's length covers the last two lines";
    EXPECT_EQ(bytes(f), recent);
    EXPECT_EQ(bytes(fetch(SVC_GET_BB)), line(4000000, "first kept") + line(4500000, "x"))
        << "a first line at the bound sends the whole file";
    EXPECT_EQ(bytes(fetch(SVC_GET_ERRORS)), line(3000000, "old error")) << "other logs are not cut";

    root.write(kTechBox + "Events.log", line(3000000, "a") + line(3999999, "b"));
    EXPECT_EQ(fetch(SVC_GET_EVENTS).text(), "NAK: No data to send");

    root.write(kTechBox + "Events.log", "0x00000000002DC6C0;RE;MCH_INSTALL_DATA,ACK,RCPK:1.0\n"
                                        "0x00000000003E8FA0;RE;MCH_INSTALL_DATA,ACK,RCPK:1.1\n");
    EXPECT_EQ(bytes(fetch(SVC_GET_EVENTS)), "0x00000000003E8FA0;RE;MCH_INSTALL_DATA,ACK,RCPK:1.1\n");

    // A line carried over the first block boundary.
    const std::string tail = line(4200000, "kept");
    root.write(kTechBox + "Events.log", line(1, std::string(1000, 'a')) + line(2, "across the boundary") + tail);
    EXPECT_EQ(bytes(fetch(SVC_GET_EVENTS)), tail);
    expectInStep();
}

TEST_F(BoundedDownloadSessionTest, UnreadableLogs)
{
    root.write(kTechBox + "Events.log", line(3000000, "a") + "garbage;b\n" + line(5000000, "c"));
    startAs("service");
    EXPECT_EQ(fetch(SVC_GET_EVENTS, nullptr, 8).text(), MIF_NAK_INVALID_OFFSET);
    Frame second;
    ASSERT_TRUE(client.receive(&second));
    EXPECT_EQ(second.index, SVC_GET_EVENTS);
    EXPECT_EQ(second.tag, 8);
    EXPECT_EQ(second.text(), "NAK: No data to send");
    expectInStep();

    // A full-level client is not bounded and gets the file as it is; the
    // time is not even asked for.
    Client full;
    ASSERT_TRUE(full.connect(daemon.port()));
    ASSERT_EQ(full.authenticate("testlab"), "ACK");
    size_t asked = machineTimeRequests();
    Frame whole;
    ASSERT_TRUE(full.sendText(SVC_GET_EVENTS, 9, nullptr));
    ASSERT_TRUE(full.receive(&whole));
    EXPECT_EQ(whole.payload.size(), root.read(kTechBox + "Events.log").size());
    EXPECT_EQ(machineTimeRequests(), asked);

    // A line of a whole block before the bound cannot be scanned: the
    // session ends.
    root.write(kTechBox + "Events.log", line(1, std::string(1100, 'z')) + line(5000000, "c"));
    Client service;
    ASSERT_TRUE(service.connect(daemon.port()));
    ASSERT_EQ(service.authenticate("service"), "ACK");
    ASSERT_TRUE(service.sendText(SVC_GET_EVENTS, 10, nullptr));
    EXPECT_TRUE(service.closedByPeer(10000));
}

} // namespace
