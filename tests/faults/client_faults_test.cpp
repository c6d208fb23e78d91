// Clients that stall, flood the daemon with connections, send garbage and
// every index with random payloads, or send format directives as arguments.
// The daemon answers every frame it can read, cuts off what it cannot, and
// keeps serving the next client without growing.
#include "support/daemon_harness.h"
#include "session/command_list.h"
#include "session/command_table.h"
#include "session/wire.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// The transfer types of the command table, which the daemon and its
// clients share.
#define FAULT_TYPE_ROW(index, name, level, type, file, handler) type,
const int32_t kTransferType[COMMAND_COUNT] = {MIF_COMMAND_LIST(FAULT_TYPE_ROW)};
#undef FAULT_TYPE_ROW

int32_t transferType(int32_t index)
{
    return index >= 0 && index < COMMAND_COUNT ? kTransferType[index] : -1;
}

class ClientFaultTest : public ::testing::Test {
protected:
    TempRoot root;
    Daemon daemon;
    void SetUp() override { ASSERT_TRUE(daemon.start(root)); }
    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }

    // A new client that proves the full level.
    void connectFull(Client *client)
    {
        ASSERT_TRUE(client->connect(daemon.port()));
        ASSERT_EQ(client->authenticate("testlab"), "ACK");
    }
    // The daemon is running and a new client is served.
    void expectServing()
    {
        ASSERT_LT(daemon.waitExit(0), 0) << "the daemon ended: " << daemon.errorOutput();
        Client next;
        connectFull(&next);
        EXPECT_EQ(next.call(60, nullptr, 5), "NAK: No such command");
    }
};

// A connection opened without waiting longer than `ms` for it; -1 when the
// daemon did not take it in time.
int connectWithin(int port, unsigned ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || poll(&p, 1, int(ms)) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

TEST_F(ClientFaultTest, StalledClientIsCutOffAndTheNextOneServed)
{
    // A header that announces a payload which never comes: the transfer's
    // time-out ends the session without any other client's help.
    Client stalled;
    ASSERT_TRUE(stalled.connect(daemon.port()));
    ASSERT_TRUE(stalled.readChallenge());
    uint8_t header[FRAME_HEADER_SIZE];
    encodeFrameHeader(header, MCH_SET_HEATING, 3, 100);
    ASSERT_TRUE(stalled.sendRaw(header, sizeof header));
    ASSERT_TRUE(stalled.sendRaw("ON", 2));
    EXPECT_TRUE(stalled.closedByPeer(20000)) << "a stalled client must be cut off";

    // Half a header: the same.
    Client half;
    ASSERT_TRUE(half.connect(daemon.port()));
    ASSERT_TRUE(half.readChallenge());
    ASSERT_TRUE(half.sendRaw(header, 5));
    EXPECT_TRUE(half.closedByPeer(20000));

    expectServing();
}

TEST_F(ClientFaultTest, ConnectionFloodWithGarbageLeavesNoTrace)
{
    // The daemon's size at rest, after one ordinary session.
    expectServing();
    int descriptors = 1 << 20, threads = 1 << 20;
    for (int i = 0; i < 25; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        descriptors = std::min(descriptors, daemon.descriptorCount());
        threads = std::min(threads, daemon.threadCount());
    }

    std::mt19937 random(14);
    std::vector<int> held;   // a few idle clients that the next ones displace
    int opened = 0;
    for (int i = 0; i < 1000; i++) {
        // When the daemon's short accept queue is full, the connection is
        // dropped and the client would only try again a second later.
        int fd = connectWithin(daemon.port(), 250);
        if (fd < 0)
            continue;
        opened++;
        std::vector<uint8_t> bytes;
        switch (i % 6) {
        case 0: break;   // connects and goes
        case 1:          // random bytes
            bytes.resize(random() % 300);
            for (uint8_t &b : bytes)
                b = uint8_t(random());
            break;
        case 2: {        // a header announcing more than a frame may hold
            bytes.resize(FRAME_HEADER_SIZE);
            encodeFrameHeader(bytes.data(), MCH_SET_HEATING, 1, FRAME_MAX_PAYLOAD + 1);
            break;
        }
        case 3: {        // a forged answer to the challenge
            bytes.resize(FRAME_HEADER_SIZE + 256);
            encodeFrameHeader(bytes.data(), MCH_CHAP, 2, 256);
            for (size_t k = FRAME_HEADER_SIZE; k < bytes.size(); k++)
                bytes[k] = uint8_t(random());
            break;
        }
        case 4: {        // CMD_ERROR before authenticating ends only this session
            bytes.resize(FRAME_HEADER_SIZE);
            encodeFrameHeader(bytes.data(), CMD_ERROR, 3, 0);
            break;
        }
        case 5: {        // a cut header
            bytes.resize(FRAME_HEADER_SIZE);
            encodeFrameHeader(bytes.data(), MCH_GET_STATE, 4, 0);
            bytes.resize(7);
            break;
        }
        }
        if (!bytes.empty())
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (i % 100 == 50)
            held.push_back(fd);
        else
            close(fd);
    }
    for (int fd : held)
        close(fd);
    RecordProperty("connections", opened);
    EXPECT_GT(opened, 0);

    // The last client gets its challenge and is served.
    ASSERT_NO_FATAL_FAILURE(expectServing());

    // Back to its size at rest: nothing grew with the number of clients.
    int nowDescriptors = 0, nowThreads = 0;
    for (int i = 0; i < 250; i++) {
        nowDescriptors = daemon.descriptorCount();
        nowThreads = daemon.threadCount();
        if (nowDescriptors <= descriptors && nowThreads <= threads)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(nowDescriptors, descriptors);
    EXPECT_LE(nowThreads, threads);
}

TEST_F(ClientFaultTest, EveryIndexWithRandomPayloadsIsAnswered)
{
    Client client;
    connectFull(&client);
    std::mt19937 random(60);
    int32_t tag = 1000;
    for (int32_t index = -5; index <= 60; index++) {
        // CMD_ERROR has no answer by design: it ends the session and the
        // daemon.
        if (index == CMD_ERROR)
            continue;
        for (int round = 0; round < 4; round++) {
            std::vector<uint8_t> payload;
            switch (round) {
            case 0: break;   // no payload
            case 1:          // printable text with its NUL
                payload.resize(random() % 40);
                for (uint8_t &b : payload)
                    b = uint8_t(' ' + random() % 95);
                payload.push_back(0);
                break;
            case 2:          // text without a NUL
                payload.resize(1 + random() % 40);
                for (uint8_t &b : payload)
                    b = uint8_t('0' + random() % 75);
                break;
            default:         // any bytes
                payload.resize(random() % 600);
                for (uint8_t &b : payload)
                    b = uint8_t(random());
                break;
            }
            // A shutdown delay the daemon could read would end the run.
            if (index == MCH_SHUTDOWN && !payload.empty())
                payload[0] = 'x';
            tag++;
            SCOPED_TRACE("index " + std::to_string(index) + ", round " + std::to_string(round));
            ASSERT_TRUE(client.send(index, tag, payload.data(), uint32_t(payload.size())));
            Frame answer;
            // Machine commands may each wait for machine control's three
            // tries; nothing here takes longer than that.
            ASSERT_TRUE(client.receive(&answer, 20000)) << "no answer frame";
            EXPECT_EQ(answer.tag, tag);
            EXPECT_TRUE(answer.index == index || answer.index == 0) << answer.index;
        }
    }
    client.close();
    expectServing();
}

TEST_F(ClientFaultTest, FormatDirectivesInArgumentsAreText)
{
    // Every command that takes a text argument, at both levels, with a
    // text that would read and write memory if it were used as a format.
    const char *directives = "%s%n%x%s%n%p%n";
    Client client;
    connectFull(&client);
    for (int32_t index = 1; index < COMMAND_COUNT; index++) {
        if (transferType(index) == TRANSFER_TO_APPLIANCE)
            continue;   // the payload of an upload is file content
        SCOPED_TRACE("index " + std::to_string(index));
        Frame answer;
        ASSERT_TRUE(client.sendText(index, index, directives));
        ASSERT_TRUE(client.receive(&answer, 20000)) << "no answer frame";
        EXPECT_EQ(answer.tag, index);
        std::string text = answer.text();
        EXPECT_EQ(text.find("(nil)"), std::string::npos) << text;
        EXPECT_EQ(text.find("(null)"), std::string::npos) << text;
        if (index == MCH_PRINT_TXT && text == "ACK") {
            // The text reaches the console as it was sent.
            for (int i = 0; i < 100 && daemon.errorOutput().find(directives) == std::string::npos; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_NE(daemon.errorOutput().find(directives), std::string::npos);
        }
    }
    // Before authenticating: as the answer to the challenge.
    Client fresh;
    ASSERT_TRUE(fresh.connect(daemon.port()));
    ASSERT_TRUE(fresh.readChallenge());
    EXPECT_EQ(fresh.call(MCH_CHAP, directives), "NAK: Authorization failed");
    fresh.close();
    expectServing();
}

} // namespace
