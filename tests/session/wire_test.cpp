#include "session/command_list.h"
#include "session/daemon_commands.h"
#include "session/socket_io.h"
#include "session/wire.h"
#include "test_env.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

class WireTest : public ::testing::Test {
protected:
    int daemonSide = -1, clientSide = -1;
    void SetUp() override
    {
        installCommandTable(kDaemonCommandTable);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        daemonSide = fds[0];
        clientSide = fds[1];
    }
    void TearDown() override
    {
        if (daemonSide >= 0)
            close(daemonSide);
        if (clientSide >= 0)
            close(clientSide);
    }
    void clientSends(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(write(clientSide, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::vector<uint8_t> clientReads(size_t n)
    {
        std::vector<uint8_t> bytes(n);
        EXPECT_EQ(socket_read(clientSide, bytes.data(), n, 2000), ssize_t(n));
        return bytes;
    }
    static std::vector<uint8_t> header(int32_t index, int32_t tag, uint32_t length)
    {
        std::vector<uint8_t> h(FRAME_HEADER_SIZE);
        encodeFrameHeader(h.data(), index, tag, length);
        return h;
    }
};

TEST_F(WireTest, HeaderAndAckBytesOnTheWire)
{
    EXPECT_EQ(header(17, 7, 0), (std::vector<uint8_t>{0, 0, 0, 0x11, 0, 0, 0, 7, 0, 0, 0, 0}));

    Command *ack = createAckCommand(17, 7);
    EXPECT_EQ(sendPlainCommand(daemonSide, &ack), 4);
    EXPECT_EQ(ack, nullptr) << "the send frees the answer";
    EXPECT_EQ(clientReads(16), (std::vector<uint8_t>{0, 0, 0, 0x11, 0, 0, 0, 7, 0, 0, 0, 4, 'A', 'C', 'K', 0}));

    EXPECT_EQ(sendPlainCommand(daemonSide, nullptr), -EINVAL);
    Command *none = nullptr;
    EXPECT_EQ(sendPlainCommand(daemonSide, &none), -EINVAL);
}

TEST_F(WireTest, RequestWithPayloadIsDecoded)
{
    std::vector<uint8_t> bytes = header(MCH_SET_HEATING, -2, 3);
    bytes.insert(bytes.end(), {'O', 'N', 0});
    clientSends(bytes);
    int timedOut = 0;
    Command *c = receiveCommand(daemonSide, &timedOut);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->index, MCH_SET_HEATING);
    EXPECT_EQ(c->tag, -2);
    EXPECT_EQ(c->length, 3u);
    EXPECT_STREQ(commandText(c), "ON");
    EXPECT_EQ(timedOut, 0);
    deleteCommand(&c);
}

TEST_F(WireTest, IdlePollTimesOutAndClosedPeerEndsTheRead)
{
    int timedOut = 0;
    EXPECT_EQ(receiveCommand(daemonSide, &timedOut), nullptr);
    EXPECT_EQ(timedOut, 1);

    close(clientSide);
    clientSide = -1;
    timedOut = 0;
    EXPECT_EQ(receiveCommand(daemonSide, &timedOut), nullptr);
    EXPECT_EQ(timedOut, 0) << "a closed peer is a failure, not a poll time-out";
}

TEST_F(WireTest, OversizedPayloadIsRefusedWithoutReadingIt)
{
    std::vector<uint8_t> bytes = header(MCH_PRINT_TXT, 1, FRAME_MAX_PAYLOAD + 1);
    bytes.insert(bytes.end(), {'a', 'b', 'c'});
    clientSends(bytes);
    int timedOut = 0;
    EXPECT_EQ(receiveCommand(daemonSide, &timedOut), nullptr);
    EXPECT_EQ(timedOut, 0);
    char rest[3];
    EXPECT_EQ(recv(daemonSide, rest, sizeof rest, MSG_DONTWAIT), 3) << "the payload is left unread";
}

TEST_F(WireTest, FileUploadHeaderLeavesPayloadOnTheStream)
{
    std::vector<uint8_t> bytes = header(MCH_DISPLAY_IMG, 9, 5);
    bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
    clientSends(bytes);
    int timedOut = 0;
    Command *c = receiveCommand(daemonSide, &timedOut);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->length, 5u);
    EXPECT_EQ(c->data, nullptr);
    deleteCommand(&c);
    uint8_t payload[5];
    EXPECT_EQ(socket_recv(daemonSide, payload, 5, 0, 1000), 5);
    EXPECT_EQ(payload[4], 5);
}

TEST_F(WireTest, TruncatedHeaderFailsAfterTheDeadline)
{
    clientSends({0, 0, 0});
    close(clientSide);
    clientSide = -1;
    int timedOut = 0;
    EXPECT_EQ(receiveCommand(daemonSide, &timedOut), nullptr);
    EXPECT_EQ(timedOut, 0);
}

TEST_F(WireTest, TransfersReportDeadlineAndPeerClose)
{
    char byte;
    errno = 0;
    EXPECT_EQ(socket_recv(daemonSide, &byte, 1, 0, 50), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    clientSends({'x'});
    EXPECT_EQ(socket_recv(daemonSide, &byte, 1, MSG_WAITALL, 1000), 1);

    close(clientSide);
    clientSide = -1;
    EXPECT_EQ(socket_recv(daemonSide, &byte, 1, 0, 1000), 0);
    // Writing to a closed peer fails with EPIPE and raises no signal.
    errno = 0;
    EXPECT_EQ(socket_write(daemonSide, "abc", 3, 1000), -1);
    EXPECT_EQ(errno, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

// A TCP connection on loopback: the transfer waits for the rest of a block
// through the socket's low-water mark there, which a socket pair ignores.
struct TcpPair {
    int receiver = -1, sender = -1;
    TcpPair()
    {
        int listening = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listening, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(listening, 1) == 0 &&
            getsockname(listening, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
            sender = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(sender, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
                receiver = accept(listening, nullptr, nullptr);
        }
        close(listening);
    }
    ~TcpPair()
    {
        if (receiver >= 0)
            close(receiver);
        if (sender >= 0)
            close(sender);
    }
    int lowWaterMark() const
    {
        int mark = -1;
        socklen_t size = sizeof mark;
        getsockopt(receiver, SOL_SOCKET, SO_RCVLOWAT, &mark, &size);
        return mark;
    }
};

TEST(SocketTransfer, BlockArrivingInPiecesIsWholeAndLeavesTheSocketAsItWas)
{
    TcpPair tcp;
    ASSERT_GE(tcp.receiver, 0);
    std::vector<uint8_t> block(1024);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = uint8_t(i * 7);

    // The first piece is there before the receive; the rest follows while
    // it waits.
    ASSERT_EQ(write(tcp.sender, block.data(), 300), 300);
    std::thread late([&] {
        usleep(20000);
        EXPECT_EQ(write(tcp.sender, block.data() + 300, 400), 400);
        usleep(20000);
        EXPECT_EQ(write(tcp.sender, block.data() + 700, 324), 324);
    });
    std::vector<uint8_t> got(block.size());
    EXPECT_EQ(socket_recv(tcp.receiver, got.data(), got.size(), 0, 2000), ssize_t(got.size()));
    late.join();
    EXPECT_EQ(got, block);
    // Later reads (the one-byte poll for the next frame) see the old mark.
    EXPECT_EQ(tcp.lowWaterMark(), 1);

    // A sender that stalls part-way still ends the receive at its deadline,
    // and one that closes part-way ends it at once; the mark is restored
    // either way.
    ASSERT_EQ(write(tcp.sender, block.data(), 100), 100);
    errno = 0;
    EXPECT_EQ(socket_recv(tcp.receiver, got.data(), got.size(), 0, 50), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(tcp.lowWaterMark(), 1);

    ASSERT_EQ(write(tcp.sender, block.data(), 100), 100);
    shutdown(tcp.sender, SHUT_WR);
    EXPECT_EQ(socket_recv(tcp.receiver, got.data(), got.size(), 0, 2000), 0);
    EXPECT_EQ(tcp.lowWaterMark(), 1);
}

TEST(SocketTransfer, LargeReceiveOverTcpIsNotHeldBackByTheMark)
{
    // Far more than a receive window: a mark as large as the rest would
    // leave the sender waiting for room and the receiver for the mark.
    TcpPair tcp;
    ASSERT_GE(tcp.receiver, 0);
    std::vector<uint8_t> bytes(4 << 20);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = uint8_t(i / 4096 + i);
    std::thread sender([&] {
        for (size_t at = 0; at < bytes.size(); at += 65536 + 12)
            if (send(tcp.sender, bytes.data() + at, std::min<size_t>(65536 + 12, bytes.size() - at), 0) < 0)
                break;
    });
    std::vector<uint8_t> got(bytes.size());
    EXPECT_EQ(socket_recv(tcp.receiver, got.data(), got.size(), 0, 5000), ssize_t(got.size()));
    sender.join();
    EXPECT_TRUE(got == bytes);
    EXPECT_EQ(tcp.lowWaterMark(), 1);
}

TEST(SocketTransfer, LocalSocketIgnoringTheMarkStillGetsTheWholeBlock)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::vector<uint8_t> block(1024, 0x5A);
    std::thread pieces([&] {
        for (size_t at = 0; at < block.size(); at += 128) {
            EXPECT_EQ(write(fds[1], block.data() + at, 128), 128);
            usleep(2000);
        }
    });
    std::vector<uint8_t> got(block.size());
    EXPECT_EQ(socket_recv(fds[0], got.data(), got.size(), 0, 2000), ssize_t(got.size()));
    pieces.join();
    EXPECT_EQ(got, block);
    close(fds[0]);
    close(fds[1]);
}

std::atomic<bool> transferStop{false};
bool transferStopFlag(int) { return transferStop.load(); }

// Clears the calling thread's stop check however the test ends.
struct StopCheckScope {
    StopCheckScope()
    {
        transferStop = false;
        setTransferStopCheck(transferStopFlag, 0);
    }
    ~StopCheckScope() { setTransferStopCheck(nullptr, 0); }
};

TEST_F(WireTest, StopCheckEndsWaitingAndTricklingTransfers)
{
    StopCheckScope scope;
    char block[1024];
    // Nothing arrives: the deadline is far, the stop ends the wait.
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        transferStop = true;
    });
    errno = 0;
    EXPECT_EQ(socket_recv(daemonSide, block, sizeof block, 0, 60000), -1);
    EXPECT_EQ(errno, ECANCELED);
    stopper.join();

    // A byte every 30 ms keeps every wait short of a poll interval: the
    // stop is still noticed once part of the block has come.
    transferStop = false;
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        for (int i = 0; i < 300 && trickling; i++) {
            if (write(clientSide, "t", 1) != 1)
                break;
            if (i == 5)
                transferStop = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    errno = 0;
    EXPECT_EQ(socket_recv(daemonSide, block, sizeof block, 0, 60000), -1);
    EXPECT_EQ(errno, ECANCELED);
    trickling = false;
    trickler.join();

    // With the stop already set, a buffer that goes through at once still
    // goes (an answer after a shutdown request), and the loops see the flag.
    EXPECT_TRUE(transferStopRequested());
    EXPECT_EQ(socket_send(daemonSide, "ACK", 3, 0), 3);
    setTransferStopCheck(nullptr, 0);
    EXPECT_FALSE(transferStopRequested());
    // Without a check the deadline alone ends the wait.
    char byte;
    while (recv(daemonSide, block, sizeof block, MSG_DONTWAIT) > 0) {
    }
    errno = 0;
    EXPECT_EQ(socket_recv(daemonSide, &byte, 1, 0, 150), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(WireTest, StopCheckKeepsTheDeadline)
{
    StopCheckScope scope;
    char byte;
    // Waited in slices, the deadline still ends it as a time-out, not as
    // a closed peer.
    errno = 0;
    EXPECT_EQ(socket_recv(daemonSide, &byte, 1, 0, 350), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(ListeningSocket, BindsAllInterfacesForBadNamesAndAcceptsClients)
{
    // Find a free port, then let the daemon's socket take it.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    socklen_t size = sizeof any;
    getsockname(probe, reinterpret_cast<sockaddr *>(&any), &size);
    std::string port = std::to_string(ntohs(any.sin_port));
    close(probe);

    ScopedEnv portEnv("MIF_PORT", port.c_str());
    ScopedEnv root("MIF_ROOT", "/nonexistent-mif-root");
    testing::internal::CaptureStderr();
    int listening = registerSocket("no-such-host.invalid");
    std::string console = testing::internal::GetCapturedStderr();
    ASSERT_GE(listening, 0);
    EXPECT_NE(console.find("No or invalid IP address/hostname specified, will listen on all interfaces!"),
              std::string::npos);
    EXPECT_NE(console.find("MIF awaiting client connection on 0.0.0.0:" + port), std::string::npos);
    EXPECT_NE(console.find("You may connect to :" + port), std::string::npos);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    int accepted = wait4Client2Connect(listening);
    ASSERT_GE(accepted, 0);
    EXPECT_TRUE(fcntl(accepted, F_GETFD) & FD_CLOEXEC);
    close(accepted);
    close(client);
    close(listening);
}

} // namespace
