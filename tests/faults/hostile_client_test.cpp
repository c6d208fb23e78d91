// Clients that try to hold the service port: transfers trickled byte by
// byte or never read, a FIFO where a log should be, text that would forge
// log lines, a port taken when the daemon starts, and the slot sequence that
// displacement and sessions ending by themselves produce. Whatever the
// first client does, the next one receives its challenge and is served.
#include "faults/fault_files.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"
#include "session/command_list.h"
#include "session/wire.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using faults::entries;
using faults::kEvents;
using faults::kTechBox;
using faults::logLines;

// Sends a few bytes now and then, as a client on a bad line or one that
// means harm would, until told to stop, the daemon closes, or about 30 s
// have passed: far longer than any wait of the test for the next client.
class Trickle {
public:
    Trickle(Client *client, size_t bytes, unsigned everyMs)
    {
        thread_ = std::thread([this, client, bytes, everyMs] {
            std::string piece(bytes, 'x');
            for (int i = 0; i < int(30000 / everyMs) && !stop_; i++) {
                if (!client->sendRaw(piece.data(), piece.size()))
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
            }
        });
    }
    ~Trickle()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Whether the daemon ends the connection within `ms`: whatever it still
// sends is read and dropped, and a reset (the daemon closed with the
// trickled bytes unread) counts as an end too.
bool connectionEnds(Client *client, unsigned ms)
{
    char buffer[4096];
    for (unsigned waited = 0; waited < ms; waited += 50) {
        pollfd p{client->fd(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = recv(client->fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

class HostileClientTest : public faults::DaemonFaultTest {
protected:
    // A new client receives its challenge and has a command answered.
    void expectServed(const std::string &role = "testlab")
    {
        Client next;
        ASSERT_TRUE(next.connect(daemon.port()));
        ASSERT_TRUE(next.readChallenge()) << "no challenge for the next client";
        ASSERT_EQ(next.authenticate(role), "ACK");
        EXPECT_EQ(next.call(60, nullptr, 5), "NAK: No such command");
    }
    bool sendHeader(Client *client, int32_t index, uint32_t length)
    {
        uint8_t header[FRAME_HEADER_SIZE];
        encodeFrameHeader(header, index, 9, length);
        return client->sendRaw(header, sizeof header);
    }
};

TEST_F(HostileClientTest, UnauthenticatedRefusedUploadIsNotDrained)
{
    ASSERT_TRUE(daemon.start(root));
    // Announcing 4 GiB before authenticating ends the session at once,
    // without an answer.
    {
        Client huge;
        ASSERT_TRUE(huge.connect(daemon.port()));
        ASSERT_TRUE(huge.readChallenge());
        ASSERT_TRUE(sendHeader(&huge, MCH_DISPLAY_IMG, 0xFFFFFFFFu));
        Trickle trickle(&huge, 1024, 200);
        Frame answer;
        EXPECT_FALSE(huge.receive(&answer, 3000)) << "answered: " << answer.text();
        EXPECT_TRUE(connectionEnds(&huge, 3000));
    }
    expectServed();

    // A small refused upload is still drained and answered, so a confused
    // tool stays in step.
    Client small;
    ASSERT_TRUE(small.connect(daemon.port()));
    ASSERT_TRUE(small.readChallenge());
    std::string bytes(2000, 'i');
    ASSERT_TRUE(small.send(MCH_DISPLAY_IMG, 4, bytes.data(), uint32_t(bytes.size())));
    Frame answer;
    ASSERT_TRUE(small.receive(&answer));
    EXPECT_EQ(answer.text(), "NAK: No such command");
    EXPECT_EQ(small.authenticate("testlab"), "ACK");
}

TEST_F(HostileClientTest, TricklingUnauthenticatedClientIsDisplaced)
{
    ASSERT_TRUE(daemon.start(root));
    // Below the drain bound, but sent so slowly that draining it would
    // take minutes.
    Client slow;
    ASSERT_TRUE(slow.connect(daemon.port()));
    ASSERT_TRUE(slow.readChallenge());
    ASSERT_TRUE(sendHeader(&slow, MCH_DISPLAY_IMG, 60000));
    Trickle trickle(&slow, 100, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the drain is under way
    expectServed();
    EXPECT_TRUE(connectionEnds(&slow, 3000));
}

TEST_F(HostileClientTest, TricklingUploadOfFullLevelClientIsCutOff)
{
    const std::string oldContent = logLines('o', 4000);
    root.write(kEvents, oldContent);
    ASSERT_TRUE(daemon.start(root));
    Client slow;
    connectAs(&slow, "testlab");
    ASSERT_TRUE(sendHeader(&slow, SVC_SET_EVENTS, 1 << 20));
    const std::string start = logLines('n', 3000);
    ASSERT_TRUE(slow.sendRaw(start.data(), start.size()));
    Trickle trickle(&slow, 50, 100);
    // The upload's temporary copy is there: the session is in the middle of it.
    for (int waited = 0; entries(root, kTechBox).size() < 2 && waited < 5000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(entries(root, kTechBox).size(), 2u);

    expectServed();
    EXPECT_TRUE(connectionEnds(&slow, 3000));
    EXPECT_EQ(root.read(kEvents), oldContent);
    EXPECT_EQ(entries(root, kTechBox), std::vector<std::string>{"Events.log"});
}

TEST_F(HostileClientTest, DownloadNobodyReadsIsCutOff)
{
    // Far more than the socket buffers of both ends hold.
    root.write(kEvents, logLines('d', 16 << 20));
    ASSERT_TRUE(daemon.start(root));
    Client stuck;
    connectAs(&stuck, "testlab");
    ASSERT_TRUE(stuck.sendText(SVC_GET_EVENTS, 3, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the send is under way
    expectServed();
}

TEST_F(HostileClientTest, StateLogNobodyReadsIsCutOff)
{
    IpcPeer mcl;
    ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
    ASSERT_TRUE(daemon.start(root));
    // A window of 4 KiB that never opens: the answer stays in the daemon's
    // socket buffer, far from all of it sent.
    Client stuck;
    ASSERT_TRUE(stuck.connect(daemon.port(), 4096));
    ASSERT_TRUE(stuck.readChallenge());
    ASSERT_EQ(stuck.authenticate("testlab"), "ACK");
    // About 5 MB of state log: secondary motor data, four records of some
    // 24 characters per event, in bursts the daemon's subscriber keeps up with.
    Bytes payload(18, 0);
    const uint16_t wide[4] = {65535, 65535, 0x8000, 0x8000};
    memcpy(payload.data() + 10, wide, sizeof wide);
    for (int event = 0; event < 56000; event++) {
        uint64_t stamp = 1700000000000ULL + uint64_t(event);
        memcpy(payload.data(), &stamp, sizeof stamp);
        ASSERT_TRUE(mcl.publish(0, 22, payload));
        if (event % 50 == 49)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(stuck.sendText(MCH_GET_STATE, 3, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the answer is under way
    expectServed();
    daemon.signalAndWait(SIGKILL, 5000);
    mcl.stop();
}

TEST_F(HostileClientTest, FifoAtALogPathIsNoData)
{
    std::filesystem::create_directories(root.at(kTechBox));
    ASSERT_EQ(mkfifo(root.at(kEvents).c_str(), 0644), 0);
    ASSERT_TRUE(daemon.start(root));
    Client client;
    connectAs(&client, "testlab");
    EXPECT_EQ(client.call(SVC_GET_EVENTS, nullptr, 3), "NAK: No data to send");
    // The session goes on, and so does the daemon.
    EXPECT_EQ(client.call(60, nullptr, 4), "NAK: No such command");
    expectServed();
}

// The text of a black-box record as the logger receives it: two zero
// words, the two lengths, the code and the message.
std::string recordMessage(const PeerLogEntry &entry)
{
    const Bytes &p = entry.payload;
    if (p.size() < 16)
        return "";
    uint32_t codeLength = 0;
    memcpy(&codeLength, p.data() + 8, 4);
    if (16 + size_t(codeLength) >= p.size())
        return "";
    const char *message = reinterpret_cast<const char *>(p.data() + 16 + codeLength);
    return std::string(message, strnlen(message, p.size() - 16 - codeLength));
}

TEST_F(HostileClientTest, ClientTextCannotForgeLogLines)
{
    // The supervisor's role first: the logger's is served beside it.
    IpcPeer logger;
    ASSERT_TRUE(logger.start(root.path(), PeerRole::Supervisor));
    ASSERT_TRUE(logger.addRole(PeerRole::Logger));
    // Errors only: the daemon's ring of ten entries then holds the records
    // until they are sent, instead of the trace lines around them.
    logger.setLoggerThreshold(3);
    ASSERT_TRUE(daemon.start(root));
    Client client;
    connectAs(&client, "testlab");

    const char *forged = "pump replaced\n0x00000000DEADBEEF;RE;forged\r\x1b[2Jend\x7f";
    EXPECT_EQ(client.call(SVC_SET_REPASTART, forged, 3), "ACK");
    EXPECT_EQ(client.call(MCH_TEST_EVENT, "one\ntwo", 4), "ACK");
    EXPECT_EQ(client.call(MCH_PRINT_TXT, "console\nforged line", 5), "ACK");

    std::vector<std::string> messages;
    ASSERT_TRUE(logger.waitFor(
        [&] {
            messages.clear();
            for (const PeerLogEntry &entry : logger.logEntries())
                if (entry.header.kind == 3)
                    messages.push_back(recordMessage(entry));
            return std::count_if(messages.begin(), messages.end(), [](const std::string &m) {
                       return m.find("pump") != std::string::npos || m.find("one") != std::string::npos;
                   }) == 2;
        },
        5000));
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "pump replaced 0x00000000DEADBEEF;RE;forged  [2Jend "),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "one two"), messages.end());
    EXPECT_NE(daemon.errorOutput().find("console forged line\n"), std::string::npos) << daemon.errorOutput();
    // A client that closes its connection is how a session ends, not an
    // error: nothing of it is logged at level 3.
    client.close();
    EXPECT_FALSE(logger.waitForLogText("receiveCommand", 1000)) << "a client's close was logged as an error";
    daemon.signalAndWait(SIGKILL, 5000);
    logger.stop();
}

// A listening socket on the port, so that the daemon cannot bind it.
int takePort(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(HostileClientTest, PortTakenAtStartIsRetriedUntilFree)
{
    // This process is the logger, at errors only (see above).
    IpcPeer logger;
    ASSERT_TRUE(logger.start(root.path(), PeerRole::Supervisor));
    ASSERT_TRUE(logger.addRole(PeerRole::Logger));
    logger.setLoggerThreshold(3);
    const int port = freeLoopbackPort();
    int holder = takePort(port);
    ASSERT_GE(holder, 0);
    // The harness sees the holder's socket accept; the daemon does not listen.
    ASSERT_TRUE(daemon.start(root, {"-nowait"}, {{"MIF_PORT", std::to_string(port)}}));
    const std::string failure = "Cannot listen for clients";
    for (int i = 0; i < 1000 && daemon.errorOutput().find(failure) == std::string::npos; i++)   // about 10 s
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(daemon.errorOutput().find(failure), std::string::npos) << daemon.errorOutput();
    EXPECT_TRUE(logger.waitForLogText("listenUntilBound: " + failure, 5000)) << "not logged at level 3";
    close(holder);

    // Free again: the daemon listens within its next tries.
    Client client;
    bool served = false;
    for (int i = 0; i < 100 && !served; i++) {   // about 10 s
        client.close();
        served = client.connect(port) && client.readChallenge();
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(served);
    EXPECT_EQ(client.authenticate("testlab"), "ACK");
    EXPECT_EQ(client.call(60, nullptr, 5), "NAK: No such command");
    client.close();
    daemon.signalAndWait(SIGKILL, 5000);
    logger.stop();
}

TEST_F(HostileClientTest, SlotsAfterADisplacedSessionAndOneThatEndedByItself)
{
    ASSERT_TRUE(daemon.start(root));
    Client first, second;
    connectAs(&first, "testlab");
    connectAs(&second, "testlab");   // displaces the first
    EXPECT_TRUE(connectionEnds(&first, 3000));
    EXPECT_EQ(second.call(60, nullptr, 5), "NAK: No such command");
    second.close();                  // ends by itself
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Two more clients, one after the other: each is served, and the later
    // one displaces the earlier.
    Client third, fourth;
    connectAs(&third, "testlab");
    EXPECT_EQ(third.call(60, nullptr, 6), "NAK: No such command");
    connectAs(&fourth, "testlab");
    EXPECT_EQ(fourth.call(60, nullptr, 7), "NAK: No such command");
    EXPECT_TRUE(connectionEnds(&third, 3000));
    expectServed();
}

} // namespace
