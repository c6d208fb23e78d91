// The request channel's retries, the requests to the supervisor and the
// network daemon, and the logger's and supervisor's handlers.
#include "request_fixture.h"

#include <cstring>

#include "frame/log_ring.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"

namespace {

class ChannelTest : public RequestTest {};

TEST_F(ChannelTest, OnlyTransportFailuresAreRetried)
{
    RequestHeader header{};
    header.requestCode = RIF_RESET_MC;
    ReplyHeader reply{};

    // A refusal is an answer: one try, status 0, the reply status for the caller.
    peer.setReply(RIF_RESET_MC, 7, {1});
    EXPECT_EQ(sendRequest("Mcl", &header, nullptr, 0, &reply, nullptr, nullptr), IPC_OK);
    EXPECT_EQ(reply.status, 7u);
    EXPECT_EQ(peer.requests().size(), 1u);

    // A peer without an endpoint: one try, no failure line.
    EXPECT_EQ(sendRequest("NetLinkD", &header, nullptr, 0, &reply, nullptr, nullptr), IPC_NO_ENDPOINT);
    EXPECT_EQ(countLines("sendRequest failed with status 6"), 0u);

    // Silence: three tries, and the reply status reads as a failure too.
    shortReplyTimeout();
    peer.clear();
    peer.setSilent(RIF_RESET_MC);
    reply = ReplyHeader{};
    EXPECT_EQ(sendRequest("Mcl", &header, nullptr, 0, &reply, nullptr, nullptr), IPC_TIMEOUT);
    EXPECT_EQ(reply.status, 2u);
    EXPECT_EQ(countLines("sendRequest failed with status 9"), 3u);
    settleSilence(RIF_RESET_MC, 3);
}

TEST_F(ChannelTest, ReplyPayloadIsHandedToTheCaller)
{
    peer.setReply(RIF_GET_SYS_TIME, 0, {9, 8, 7});
    RequestHeader header{};
    header.requestCode = RIF_GET_SYS_TIME;
    ReplyHeader reply{};
    void *payload = nullptr;
    int length = 0;
    ASSERT_EQ(sendRequest("Mcl", &header, nullptr, 0, &reply, &payload, &length), IPC_OK);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(payload), static_cast<uint8_t *>(payload) + 3), (Bytes{9, 8, 7}));
    free(payload);
}

TEST_F(ChannelTest, ShutdownRequestReachesTheSupervisor)
{
    ASSERT_TRUE(peer.addRole(PeerRole::Supervisor));
    EXPECT_TRUE(sendShutdownRequest());
    std::vector<PeerRequest> seen = peer.requests(SUPERVISOR_SHUTDOWN_REQUEST);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload, bytesOf(uint32_t(2)));
    EXPECT_EQ(countLines("sendShutdownRequest"), 1u);
    // The requester lives only for the request.
    EXPECT_EQ(IPC_CloseRequester("SvDaemon"), IPC_NO_ENDPOINT);

    // A supervisor that refuses has not accepted the shutdown.
    resetLog();
    peer.setReply(SUPERVISOR_SHUTDOWN_REQUEST, 5);
    EXPECT_FALSE(sendShutdownRequest());
    EXPECT_EQ(countLines("sendShutdownRequest failed with status 5", 3), 1u);
}

TEST_F(ChannelTest, ShutdownRequestToAnAbsentSupervisorFails)
{
    EXPECT_FALSE(sendShutdownRequest());
    EXPECT_EQ(countLines("sendShutdownRequest failed with status 9", 3), 1u);
    EXPECT_EQ(countLines("sendRequest failed with status 9"), 3u);
    EXPECT_EQ(IPC_CloseRequester("SvDaemon"), IPC_NO_ENDPOINT);
}

TEST_F(ChannelTest, NoGuiSwitchGoesToTheNetworkDaemon)
{
    ASSERT_TRUE(peer.addRole(PeerRole::NetLink));
    ASSERT_EQ(IPC_OpenRequester("NetLinkD", DAEMON_REPLY_TIMEOUT_MS), IPC_OK);
    EXPECT_TRUE(setNoGuiSwitch());
    std::vector<PeerRequest> seen = peer.requests(NETLINK_NO_GUI_SWITCH);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].payload.empty());
    EXPECT_EQ(countLines("setNoGuiSwitch"), 1u);

    peer.setReply(NETLINK_NO_GUI_SWITCH, 1);
    EXPECT_FALSE(setNoGuiSwitch());
    EXPECT_EQ(countLines("setNoGuiSwitch failed with status 1", 3), 1u);
}

Bytes eventMessage(uint16_t topic, uint32_t id, const Bytes &payload)
{
    EventHeader header{topic, 0, id};
    Bytes msg(sizeof header + payload.size());
    memcpy(msg.data(), &header, sizeof header);
    if (!payload.empty())
        memcpy(msg.data() + sizeof header, payload.data(), payload.size());
    return msg;
}

TEST_F(ChannelTest, LoggerEventFiveSetsTheThreshold)
{
    Bytes other = eventMessage(9, 4, bytesOf(uint32_t(3)));
    LoggerSubscriberHandler(other.data(), other.data() + 8, 4);
    EXPECT_EQ(logThreshold(), 0u);
    EXPECT_EQ(countLines("[MIF] LoggerSubscriberHandler: Received EventId: 4 TopicId:9\n"), 1u);

    // Too short to hold the level: ignored.
    Bytes shortOne = eventMessage(9, 5, {5, 0});
    LoggerSubscriberHandler(shortOne.data(), shortOne.data() + 8, 2);
    EXPECT_EQ(logThreshold(), 0u);

    Bytes five = eventMessage(9, 5, bytesOf(uint32_t(5)));
    LoggerSubscriberHandler(five.data(), five.data() + 8, 4);
    EXPECT_EQ(logThreshold(), 5u);
    logSetThreshold(0);
}

TEST_F(ChannelTest, SupervisorSurveysAreAnsweredWithZeros)
{
    SurveyHeader survey{0, 3};
    ResponseHeader out{1, 99, 3, 77};
    void *payload = nullptr;
    int length = 0;
    SupervisorSurveyHandler(&survey, nullptr, 0, &out, &payload, &length);
    EXPECT_EQ(out.responseWord, 0u);
    EXPECT_EQ(out.status, 0u);
    EXPECT_EQ(payload, nullptr);
}

} // namespace
