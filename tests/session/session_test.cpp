// The real daemon on loopback: challenge, levels, dispatch, displacement,
// shutdown and the process's descriptors and threads across many sessions.
#include "support/daemon_harness.h"
#include "session/command_list.h"

#include <csignal>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

namespace {

class SessionTest : public ::testing::Test {
protected:
    TempRoot root;
    Daemon daemon;
    void SetUp() override { ASSERT_TRUE(daemon.start(root)); }
    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }
};

TEST_F(SessionTest, ChallengeIsTheFirstFrame)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    Frame f;
    ASSERT_TRUE(c.receive(&f));
    EXPECT_EQ(f.index, MCH_CHAP);
    EXPECT_EQ(f.tag, 42);
    EXPECT_EQ(f.payload.size(), 256u);

    Client again;
    ASSERT_TRUE(again.connect(daemon.port()));
    Frame g;
    ASSERT_TRUE(again.receive(&g));
    EXPECT_NE(f.payload, g.payload) << "every session gets a fresh challenge";
}

TEST_F(SessionTest, UnauthenticatedCommandsAreRefusedUnderIndexZero)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_TRUE(c.readChallenge());

    for (int32_t index : {int32_t(SVC_GET_EVENTS), int32_t(MCH_SET_HEATING), int32_t(MCH_SHUTDOWN), 60, -5}) {
        ASSERT_TRUE(c.sendText(index, 1234, "ON"));
        Frame answer;
        ASSERT_TRUE(c.receive(&answer));
        EXPECT_EQ(answer.index, 0) << index;
        EXPECT_EQ(answer.tag, 1234);
        EXPECT_EQ(answer.text(), "NAK: No such command");
    }

    // A refused upload's payload is read and dropped, so the next frame is
    // read where it starts.
    std::vector<uint8_t> image(5000, 0xAB);
    ASSERT_TRUE(c.send(MCH_DISPLAY_IMG, 5, image.data(), uint32_t(image.size())));
    Frame answer;
    ASSERT_TRUE(c.receive(&answer));
    EXPECT_EQ(answer.index, 0);
    EXPECT_EQ(answer.text(), "NAK: No such command");
    EXPECT_EQ(c.call(MCH_GET_SERIAL, nullptr, 6), "NAK: No such command");
}

TEST_F(SessionTest, ServiceLevelSeesOnlyItsCommands)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_EQ(c.authenticate("service"), "ACK");
    EXPECT_EQ(c.call(MCH_SHUTDOWN, "0"), "NAK: No such command") << "level 5 command for a level 1 client";

    Frame answer;
    ASSERT_TRUE(c.sendText(60, 99, nullptr));
    ASSERT_TRUE(c.receive(&answer));
    EXPECT_EQ(answer.index, 0);
    EXPECT_EQ(answer.tag, 99);
    EXPECT_EQ(answer.text(), "NAK: No such command");
}

TEST_F(SessionTest, NewClientDoesNotInheritTheLevel)
{
    {
        Client first;
        ASSERT_TRUE(first.connect(daemon.port()));
        ASSERT_EQ(first.authenticate("testlab"), "ACK");
        EXPECT_EQ(first.call(MCH_SHUTDOWN, "abc"), "NAK: Wrong number format in argument");
    }
    Client second;
    ASSERT_TRUE(second.connect(daemon.port()));
    ASSERT_TRUE(second.readChallenge());
    EXPECT_EQ(second.call(MCH_SHUTDOWN, "0"), "NAK: No such command");
    EXPECT_EQ(daemon.waitExit(300), -1) << "the daemon must keep running";
}

TEST_F(SessionTest, NewerClientDisplacesTheRunningOne)
{
    Client first;
    ASSERT_TRUE(first.connect(daemon.port()));
    ASSERT_EQ(first.authenticate("developer"), "ACK");

    Client second;
    ASSERT_TRUE(second.connect(daemon.port()));
    ASSERT_TRUE(second.readChallenge());
    EXPECT_TRUE(first.closedByPeer(2000)) << "the displaced client's socket is closed";

    Client third;
    ASSERT_TRUE(third.connect(daemon.port()));
    ASSERT_TRUE(third.readChallenge());
    EXPECT_TRUE(second.closedByPeer(2000));
    EXPECT_EQ(third.authenticate("developer"), "ACK") << "the third client is served (in slot 0 again)";
}

TEST_F(SessionTest, StrayLevelZeroCommandEndsOnlyItsSession)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_TRUE(c.readChallenge());
    ASSERT_TRUE(c.sendText(CMD_ERROR, 1, nullptr));
    EXPECT_TRUE(c.closedByPeer(2000));
    EXPECT_EQ(daemon.waitExit(500), -1) << "the daemon keeps serving";

    Client next;
    ASSERT_TRUE(next.connect(daemon.port()));
    EXPECT_EQ(next.authenticate("service"), "ACK");
}

TEST_F(SessionTest, ShutdownCommandEndsTheDaemonInOrder)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_EQ(c.authenticate("testlab"), "ACK");
    EXPECT_EQ(c.call(MCH_SHUTDOWN, "70000"), "NAK: Wrong argument, specify time in ms (max 65535)");
    EXPECT_EQ(c.call(MCH_SHUTDOWN, "0", 3), "ACK");
    EXPECT_TRUE(c.closedByPeer(3000));
    EXPECT_EQ(daemon.waitExit(8000), 0);
    // Standard error gets the line first; the console (tty0 under the root,
    // standard error here) gets it again at the very end.
    std::string out = daemon.errorOutput();
    size_t first = out.find("\nMachine Interface shutdown\n");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find("\nMachine Interface shutdown\n", first + 1), std::string::npos) << out;
}

TEST_F(SessionTest, SigtermEndsTheProcessAtOnceWithStatus15)
{
    Client c;
    ASSERT_TRUE(c.connect(daemon.port()));
    ASSERT_EQ(c.authenticate("service"), "ACK");
    EXPECT_EQ(daemon.signalAndWait(SIGTERM, 3000), 15);
    EXPECT_EQ(daemon.errorOutput().find("Machine Interface shutdown"), std::string::npos);
}

TEST_F(SessionTest, ManySessionsLeaveNoDescriptorOrThreadBehind)
{
    // Let the first session's threads settle, then count.
    {
        Client warmup;
        ASSERT_TRUE(warmup.connect(daemon.port()));
        EXPECT_EQ(warmup.authenticate("service"), "ACK");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Client last;
    ASSERT_TRUE(last.connect(daemon.port()));
    ASSERT_TRUE(last.readChallenge());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fds = daemon.descriptorCount();
    int threads = daemon.threadCount();

    for (int i = 0; i < 200; i++) {
        Client c;
        ASSERT_TRUE(c.connect(daemon.port()));
        if (i % 2 == 0) {
            Frame f;
            ASSERT_TRUE(c.receive(&f));
        }
    }
    last.challenge.clear();
    ASSERT_TRUE(last.connect(daemon.port()));
    EXPECT_EQ(last.authenticate("service"), "ACK") << "the daemon still serves";
    // Sessions that ended by themselves are reclaimed within a poll or two.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(daemon.descriptorCount(), fds);
    EXPECT_LE(daemon.threadCount(), threads);
}

} // namespace
