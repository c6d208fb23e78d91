// Streaming service logs to the client: whole files, the time bound's line
// scan, and the answers when there is nothing (or nothing sensible) to send.
#include "commands/service/file_commands.h"
#include "file_test_support.h"
#include "session/command_list.h"

#include <cerrno>
#include <future>
#include <thread>

namespace {

const char *const kEvents = "/mnt/rwfs/data/tech_box/Events.log";

class FileSendTest : public FileTestBase {
protected:
    // Runs sendFileCommand for a file answer on the daemon side while the
    // test reads the client side.
    std::future<int> sendAsync(const char *path, uint64_t bound, int32_t index = SVC_GET_EVENTS, int32_t tag = 7)
    {
        Command *answer = createStringCommand(index, tag, "%s", path);
        int socket = daemonSide;
        return std::async(std::launch::async, [=] { return sendFileCommand(socket, answer, bound); });
    }
    struct Frame {
        int32_t index = -1, tag = -1;
        std::string payload;
    };
    Frame receive()
    {
        Frame f;
        EXPECT_TRUE(clientReceives(&f.index, &f.tag, &f.payload));
        return f;
    }
    static std::string line(uint64_t time, const std::string &rest) { return std::to_string(time) + ";" + rest + "\n"; }
};

TEST_F(FileSendTest, FileAnswersAndTheirBound)
{
    Command *answer = createStringCommand(SVC_GET_EVENTS, 1, "%s", kEvents);
    Command *nak = createStringCommand(SVC_GET_EVENTS, 1, "NAK: No data to send");
    Command *plain = createStringCommand(MCH_GET_WEIGHT, 1, "%s", kEvents);
    Command *upload = createStringCommand(SVC_SET_EVENTS, 1, "%s", kEvents);
    Command *empty = createRawCommand(SVC_GET_BB, 1, nullptr, 0);
    EXPECT_TRUE(cmdSendsFile(answer));
    EXPECT_FALSE(cmdSendsFile(nak));
    EXPECT_FALSE(cmdSendsFile(plain));
    EXPECT_FALSE(cmdSendsFile(upload));
    EXPECT_FALSE(cmdSendsFile(empty));
    for (Command *c : {answer, nak, plain, upload, empty})
        deleteCommand(&c);

    // Only the operational data and the events, and only for service clients.
    EXPECT_TRUE(fileAnswerIsBounded(SVC_GET_BB, 1));
    EXPECT_TRUE(fileAnswerIsBounded(SVC_GET_EVENTS, 0));
    EXPECT_FALSE(fileAnswerIsBounded(SVC_GET_EVENTS, 5));
    EXPECT_FALSE(fileAnswerIsBounded(SVC_GET_ERRORS, 1));
    EXPECT_EQ(fileAnswerLowerBound(10000000), 4000000u);
    EXPECT_EQ(fileAnswerLowerBound(6000000), 0u);
    EXPECT_EQ(fileAnswerLowerBound(6000001), 1u);
    EXPECT_EQ(fileAnswerLowerBound(0), 0u);
}

TEST_F(FileSendTest, WholeFileStreamsInOneFrame)
{
    // Far more than one block and than the socket buffer.
    std::string content;
    for (int i = 0; content.size() < 600000; i++)
        content += line(uint64_t(i) * 1000, "EV;" + std::to_string(i * 7919 % 1000));
    write(kEvents, content);

    auto result = sendAsync(kEvents, 0, SVC_GET_EVENTS, 31);
    Frame f = receive();
    EXPECT_EQ(f.index, SVC_GET_EVENTS);
    EXPECT_EQ(f.tag, 31);
    EXPECT_EQ(f.payload, content);
    EXPECT_EQ(result.get(), int(content.size()) + 12);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, BoundSendsFromTheFirstLineAtOrAfterIt)
{
    const std::string old = line(3000000, "RS;MCH_SET_SPEED");
    const std::string recent = line(4100000, "RE;MCH_SET_SPEED,ACK") + line(5000000, "RS;SVC_GET_EVENTS");
    write(kEvents, old + recent);

    // A level-1 client at machine time 10,000,000 sees the last 6,000,000 ms.
    auto result = sendAsync(kEvents, fileAnswerLowerBound(10000000));
    Frame f = receive();
    EXPECT_EQ(f.index, SVC_GET_EVENTS);
    EXPECT_EQ(f.tag, 7);
    EXPECT_EQ(f.payload, recent) << "the header's length covers the last two lines only";
    EXPECT_EQ(result.get(), int(recent.size()) + 12);

    // A bound at the first line's time sends the whole (short) file.
    result = sendAsync(kEvents, 3000000);
    EXPECT_EQ(receive().payload, old + recent);
    EXPECT_EQ(result.get(), int(old.size() + recent.size()) + 12);

    // Hexadecimal times, as the installation's records write them, and
    // blank lines between records.
    const std::string hexOld = "0x00000000002DC6C0;RE;MCH_INSTALL_DATA,ACK,RCPK:1.0\n\n";
    const std::string hexNew = "0x00000000003E8FA0;RE;MCH_INSTALL_DATA,ACK,RCPK:1.1\n" + line(4200000, "x");
    write(kEvents, hexOld + hexNew);
    result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(receive().payload, "\n" + hexNew) << "the blank line belongs to the line it precedes";
    EXPECT_GT(result.get(), 0);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, NothingToSendIsOneNak)
{
    write(kEvents, line(3000000, "a") + line(4100000, "b"));
    auto result = sendAsync(kEvents, 9000000, SVC_GET_EVENTS, 12);
    Frame f = receive();
    EXPECT_EQ(f.index, SVC_GET_EVENTS);
    EXPECT_EQ(f.tag, 12);
    EXPECT_STREQ(f.payload.c_str(), "NAK: No data to send");
    EXPECT_GT(result.get(), 0);

    write(kEvents, "");
    for (uint64_t bound : {uint64_t(0), uint64_t(5)}) {
        result = sendAsync(kEvents, bound);
        EXPECT_STREQ(receive().payload.c_str(), "NAK: No data to send") << "empty file, bound " << bound;
        EXPECT_GT(result.get(), 0);
    }

    result = sendAsync("/mnt/rwfs/data/tech_box/Matrix.log", 0, SVC_GET_MATRIX);
    EXPECT_STREQ(receive().payload.c_str(), "NAK: No data to send") << "missing file";
    EXPECT_GT(result.get(), 0);

    result = sendAsync("/mnt/rwfs/data/tech_box", 0, SVC_GET_MATRIX);
    EXPECT_STREQ(receive().payload.c_str(), "NAK: No data to send") << "a directory is no file to send";
    EXPECT_GT(result.get(), 0);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, LineTimeThatIsNoNumberGivesTwoNaksInOrder)
{
    for (const char *bad : {"EV;text", "12x;text", ";text", "99999999999999999999999;text"}) {
        write(kEvents, line(1000, "ok") + bad + "\n" + line(5000000, "new"));
        auto result = sendAsync(kEvents, 4000000, SVC_GET_EVENTS, 5);
        Frame first = receive();
        Frame second = receive();
        EXPECT_EQ(first.index, SVC_GET_EVENTS);
        EXPECT_EQ(first.tag, 5);
        EXPECT_STREQ(first.payload.c_str(), MIF_NAK_INVALID_OFFSET) << bad;
        EXPECT_EQ(second.tag, 5);
        EXPECT_STREQ(second.payload.c_str(), "NAK: No data to send") << bad;
        EXPECT_GT(result.get(), 0) << "the session goes on";
    }
    // Past the bound nothing is parsed any more.
    write(kEvents, line(5000000, "new") + "not a time\n");
    auto result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(receive().payload, line(5000000, "new") + "not a time\n");
    EXPECT_GT(result.get(), 0);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, LinesCarriedAcrossBlocks)
{
    // Move the block boundary through the second line's time, its ';', its
    // text and its line feed, and through the third line's start.
    for (size_t firstLength = 975; firstLength <= 1024; firstLength++) {
        std::string first = line(1000, std::string(firstLength - 6, 'a'));
        ASSERT_EQ(first.size(), firstLength);
        std::string second = line(2000000, "carried over the block boundary");
        std::string third = line(4100000, "first sent") + line(4200000, "second sent");
        write(kEvents, first + second + third);
        auto result = sendAsync(kEvents, 4000000);
        EXPECT_EQ(receive().payload, third) << "first line of " << firstLength << " bytes";
        EXPECT_EQ(result.get(), int(third.size()) + 12);
    }
    // A matching line that itself straddles the boundary is sent whole.
    std::string first = line(1, std::string(1010, 'b'));
    std::string match = line(4500000, std::string(300, 'c'));
    write(kEvents, first + match);
    auto result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(receive().payload, match);
    EXPECT_GT(result.get(), 0);

    // The longest line that can be carried: 1,023 bytes and its line feed.
    std::string longest = "1;" + std::string(1021, 'd') + "\n";
    write(kEvents, "7;x\n" + longest + line(4500000, "e"));
    result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(receive().payload, line(4500000, "e"));
    EXPECT_GT(result.get(), 0);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, UnparsableLogEndsTheTransfer)
{
    // A line of 1,024 bytes before its line feed cannot be carried.
    write(kEvents, "7;x\n1;" + std::string(1022, 'f') + "\n" + line(4500000, "g"));
    auto result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(result.get(), FILE_UNPARSABLE);
    EXPECT_TRUE(clientHasNothingPending()) << "nothing of the file went out";

    // A log that ends inside a line the scan must read past.
    write(kEvents, line(1000, "a") + "2000;no line feed");
    result = sendAsync(kEvents, 4000000);
    EXPECT_EQ(result.get(), FILE_UNPARSABLE);
    EXPECT_TRUE(clientHasNothingPending());
}

TEST_F(FileSendTest, RotatedLogsBySuffix)
{
    write(kEvents, line(1, "current"));
    write(std::string(kEvents) + ".1", line(1, "rotated once"));

    Command *r = createStringCommand(SVC_GET_EVENTS, 3, "1");
    Command *answer = cmdHandler_SendFileCmd(r, daemonSide);
    EXPECT_STREQ(commandText(answer), "/mnt/rwfs/data/tech_box/Events.log.1");
    EXPECT_EQ(answer->index, SVC_GET_EVENTS);
    EXPECT_EQ(answer->tag, 3);
    ASSERT_TRUE(cmdSendsFile(answer));
    EXPECT_EQ(sendFileCommand(daemonSide, answer, 0), int(line(1, "rotated once").size()) + 12);
    EXPECT_EQ(receive().payload, line(1, "rotated once"));
    deleteCommand(&r);

    r = createStringCommand(SVC_GET_EVENTS, 3, "1234");
    answer = cmdHandler_SendFileCmd(r, daemonSide);
    EXPECT_STREQ(commandText(answer), "NAK: No data to send");
    EXPECT_FALSE(cmdSendsFile(answer));
    deleteCommand(&answer);
    deleteCommand(&r);

    r = createRawCommand(SVC_GET_EVENTS, 3, nullptr, 0);
    answer = cmdHandler_SendFileCmd(r, daemonSide);
    EXPECT_STREQ(commandText(answer), kEvents);
    deleteCommand(&answer);
    deleteCommand(&r);
}

TEST_F(FileSendTest, SendFailuresAreNegative)
{
    EXPECT_EQ(sendFileCommand(daemonSide, nullptr, 0), -EINVAL);

    write(kEvents, std::string(5000, 'x'));
    closeClient();
    EXPECT_EQ(sendFileCommand(daemonSide, createStringCommand(SVC_GET_EVENTS, 1, "%s", kEvents), 0), -EPIPE);
    EXPECT_LT(sendFileCommand(daemonSide, createStringCommand(SVC_GET_EVENTS, 1, "%s", "/nowhere"), 0), 0)
        << "a NAK that cannot be sent is a failure too";
}

} // namespace
