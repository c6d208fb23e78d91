// Uploads: service logs with their index prefix, the address file, the
// framebuffer image and the sound, and what a failed upload must not do:
// damage the file it was meant to replace, or leave the stream out of step.
#include "commands/service/file_commands.h"
#include "file_test_support.h"

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>

namespace {

const std::string kTechBox = "/mnt/rwfs/data/tech_box/";

class FileReceiveTest : public FileTestBase {
protected:
    // Runs a handler on the daemon side while the client sends.
    std::future<Command *> runAsync(Command *(*handler)(Command *, int), Command *request)
    {
        int socket = daemonSide;
        return std::async(std::launch::async, [=] { return handler(request, socket); });
    }
    // Uploads `payload` with the command and returns the answer's text; the
    // client then sends a marker, which must be the next thing on the stream.
    std::string upload(Command *(*handler)(Command *, int), int32_t index, const std::string &payload)
    {
        Command *r = request(index, uint32_t(payload.size()));
        auto answer = runAsync(handler, r);
        clientSends(payload);
        Command *a = answer.get();
        std::string text = a && commandText(a) ? commandText(a) : "";
        EXPECT_EQ(a ? a->index : -1, index);
        EXPECT_EQ(a ? a->tag : -1, 7);
        deleteCommand(&a);
        deleteCommand(&r);
        expectInStep();
        return text;
    }
    // The next bytes on the stream are the ones the client sends next.
    void expectInStep()
    {
        clientSends("NEXT");
        char next[5] = {};
        EXPECT_EQ(socket_recv(daemonSide, next, 4, 0, 2000), 4);
        EXPECT_STREQ(next, "NEXT") << "the stream is out of step";
    }
};

TEST_F(FileReceiveTest, IndexPrefixChoosesTheRotatedLog)
{
    write(kTechBox + "Events.log", "old\n");
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTS, "2:1;EV;two\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "Events.log.2"), "1;EV;two\n");
    EXPECT_EQ(read(kTechBox + "Events.log"), "old\n");

    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTS, "0:1;EV;zero\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "Events.log"), "1;EV;zero\n");

    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_REPAEVENTS, "0x1F:hex\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "RepaEvents.log.31"), "hex\n");

    // No colon in the first block: the whole data, as it is.
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_ERRORS, "1;ER;no prefix\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "ErrorEvents.log"), "1;ER;no prefix\n");

    // A prefix spanning more than the first block is no prefix.
    std::string big(3000, 'z');
    big[2000] = ':';
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_BB, big), "ACK");
    EXPECT_EQ(read(kTechBox + "OperationalData.log"), big);

    // Commands without a prefix keep the colon.
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_MATRIX, "2:matrix\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "Matrix.log"), "2:matrix\n");
    EXPECT_EQ(read(kTechBox + "Matrix_temp.log"), "2:matrix\n");
}

TEST_F(FileReceiveTest, BadPrefixFailsAfterDrainingAndKeepsTheLog)
{
    write(kTechBox + "Events.log", "old\n");
    for (const char *payload : {"1000:too big\n", "a:letter\n", ":empty\n", "-1:negative\n", "2 :blank\n"}) {
        EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTS, payload), "NAK: Error receiving data!") << payload;
    }
    // A failure found in the first block still takes every later block.
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTS, "x:" + std::string(5000, 'y')),
              "NAK: Error receiving data!");
    EXPECT_EQ(read(kTechBox + "Events.log"), "old\n");
    EXPECT_EQ(entries(kTechBox), 1) << "no other file was written";
}

TEST_F(FileReceiveTest, EventListKeepsItsPrefixAndIsCopied)
{
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTLIST, "2:list\n"), "ACK");
    EXPECT_EQ(read(kTechBox + "EventList.log"), "2:list\n");
    EXPECT_EQ(read(kTechBox + "EventList_temp.log"), "2:list\n");
}

TEST_F(FileReceiveTest, ZeroBytesLeaveTheTargetUntouched)
{
    write(kTechBox + "Events.log", "old\n");
    struct stat before;
    ASSERT_EQ(stat(at(kTechBox + "Events.log").c_str(), &before), 0);
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_EVENTS, ""), "ACK");
    EXPECT_EQ(read(kTechBox + "Events.log"), "old\n");
    struct stat after;
    ASSERT_EQ(stat(at(kTechBox + "Events.log").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "not even replaced by an empty copy";

    // The copy still runs for the matrix.
    write(kTechBox + "Matrix.log", "m\n");
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, SVC_SET_MATRIX, ""), "ACK");
    EXPECT_EQ(read(kTechBox + "Matrix_temp.log"), "m\n");
}

TEST_F(FileReceiveTest, UploadCutOffLeavesTheOldFile)
{
    write(kTechBox + "RepaEvents.log", "1;RS;repair\n");
    Command *r = request(SVC_SET_REPAEVENTS, 10000);
    auto answer = runAsync(cmdHandler_RecvFileCmd, r);
    clientSends("0:" + std::string(4000, 'n'));
    closeClient();
    Command *a = answer.get();
    EXPECT_STREQ(commandText(a), "NAK: Error receiving data!");
    deleteCommand(&a);
    deleteCommand(&r);
    EXPECT_EQ(read(kTechBox + "RepaEvents.log"), "1;RS;repair\n");
    EXPECT_EQ(entries(kTechBox), 1) << "the partial upload is gone";
}

TEST_F(FileReceiveTest, ReceiveFileReportsWhatHappened)
{
    // A target that cannot be created: 0 after draining everything.
    auto got = std::async(std::launch::async,
                          [this] { return receiveFile(daemonSide, "/no/such/dir/file", 3000, nullptr); });
    clientSends(std::string(3000, 'q'));
    EXPECT_EQ(got.get(), 0u);
    expectInStep();

    // A full upload: the count, and the prefix length.
    uint32_t prefix = 99;
    got = std::async(std::launch::async, [this, &prefix] {
        return receiveFile(daemonSide, "/mnt/rwfs/data/tech_box/Events.log", 9, &prefix);
    });
    clientSends("12:abcdef");
    EXPECT_EQ(got.get(), 9u);
    EXPECT_EQ(prefix, 3u);
    EXPECT_EQ(read(kTechBox + "Events.log.12"), "abcdef");

    // The socket failing first: fewer bytes than announced.
    got = std::async(std::launch::async, [this] { return receiveFile(daemonSide, "/dev/null", 5000, nullptr); });
    clientSends(std::string(1500, 'r'));
    closeClient();
    EXPECT_LT(got.get(), 5000u);
}

TEST_F(FileReceiveTest, AddressFileIsReplaced)
{
    write("/mnt/rwfs/data/system_config/qxip", "10.0.0.1\n");
    EXPECT_EQ(upload(cmdHandler_RecvFileCmd, MCH_SET_IPADDR, "192.168.1.20\n"), "ACK");
    EXPECT_EQ(read("/mnt/rwfs/data/system_config/qxip"), "192.168.1.20\n");
}

TEST_F(FileReceiveTest, FramebufferImageMustHaveTheExactSize)
{
    std::string image(FRAMEBUFFER_IMAGE_SIZE, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = char(i * 31 % 251);
    EXPECT_EQ(upload(cmdHandler_MCHDisplayImg, MCH_DISPLAY_IMG, image.substr(1)), "NAK: Wrong image size!");
    EXPECT_FALSE(exists("/dev/fb")) << "nothing written";
    EXPECT_EQ(upload(cmdHandler_MCHDisplayImg, MCH_DISPLAY_IMG, image + "x"), "NAK: Wrong image size!");

    EXPECT_EQ(upload(cmdHandler_MCHDisplayImg, MCH_DISPLAY_IMG, image), "ACK");
    EXPECT_EQ(read("/dev/fb"), image);
}

TEST_F(FileReceiveTest, DevicesAreWrittenInPlace)
{
    // A FIFO standing in for the framebuffer is written through, not
    // replaced by a regular file.
    ASSERT_EQ(mkfifo(at("/dev/fb").c_str(), 0600), 0);
    int readEnd = open(at("/dev/fb").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(readEnd, 0);
    std::string image(FRAMEBUFFER_IMAGE_SIZE, 'p');
    auto shown = std::async(std::launch::async, [readEnd] {
        std::string bytes(FRAMEBUFFER_IMAGE_SIZE, '\0');
        ssize_t got = socket_read(readEnd, bytes.data(), bytes.size(), 10000);
        bytes.resize(got > 0 ? size_t(got) : 0);
        return bytes;
    });
    EXPECT_EQ(upload(cmdHandler_MCHDisplayImg, MCH_DISPLAY_IMG, image), "ACK");
    EXPECT_EQ(shown.get(), image);
    close(readEnd);
    struct stat st;
    ASSERT_EQ(stat(at("/dev/fb").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(entries("/dev"), 1);
}

TEST_F(FileReceiveTest, SoundOnTheStandInDevice)
{
    std::string pcm;
    for (int i = 0; i < 3000; i++)
        pcm += char(i & 0xFF);
    write("/dev/dsp", "previous sound");
    EXPECT_EQ(upload(cmdHandler_MCHPlaySnd, MCH_PLAY_SND, pcm), "ACK");
    EXPECT_EQ(read("/dev/dsp"), pcm) << "one sound at a time";

    std::filesystem::remove(at("/dev/dsp"));
    EXPECT_EQ(upload(cmdHandler_MCHPlaySnd, MCH_PLAY_SND, pcm), "NAK: Unable to open audio device");
    EXPECT_FALSE(exists("/dev/dsp"));

    // A FIFO nobody reads is no device that can play.
    ASSERT_EQ(mkfifo(at("/dev/dsp").c_str(), 0600), 0);
    EXPECT_EQ(upload(cmdHandler_MCHPlaySnd, MCH_PLAY_SND, pcm), "NAK: Unable to open audio device");

    // A character device that is no sound card refuses the settings.
    std::filesystem::remove(at("/dev/dsp"));
    std::filesystem::create_symlink("/dev/null", at("/dev/dsp"));
    EXPECT_EQ(upload(cmdHandler_MCHPlaySnd, MCH_PLAY_SND, pcm), "NAK: Unable to configure audio device");
}

TEST_F(FileReceiveTest, SoundCutOffIsAPlaybackError)
{
    write("/dev/dsp", "");
    Command *r = request(MCH_PLAY_SND, 4000);
    auto answer = runAsync(cmdHandler_MCHPlaySnd, r);
    clientSends(std::string(1000, 's'));
    closeClient();
    Command *a = answer.get();
    EXPECT_STREQ(commandText(a), "NAK: Error during playback");
    deleteCommand(&a);
    deleteCommand(&r);
}

} // namespace
