// Uploads through the real daemon: service logs from a service-level
// client, the display image, the sound and the address file from a
// full-level client, and the stream staying in step after every refusal.
#include "support/daemon_harness.h"
#include "session/command_list.h"
#include "session/wire.h"

#include <csignal>
#include <filesystem>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const std::string kTechBox = "/mnt/rwfs/data/tech_box/";

class FileUploadSessionTest : public ::testing::Test {
protected:
    TempRoot root;
    Daemon daemon;
    Client client;

    void SetUp() override { ASSERT_TRUE(daemon.start(root)); }
    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }

    void connectAs(const std::string &role)
    {
        ASSERT_TRUE(client.connect(daemon.port()));
        ASSERT_EQ(client.authenticate(role), "ACK");
    }
    // Uploads the bytes with the command; the answer frame's text, after
    // checking its index and tag.
    std::string upload(int32_t index, const std::string &bytes, int32_t tag = 21)
    {
        if (!client.send(index, tag, bytes.data(), uint32_t(bytes.size())))
            return "(send failed)";
        Frame answer;
        if (!client.receive(&answer, 10000))
            return "(no answer)";
        EXPECT_EQ(answer.index, index);
        EXPECT_EQ(answer.tag, tag);
        return answer.text();
    }
    // The session still reads frames where they start.
    void expectInStep()
    {
        EXPECT_EQ(client.call(60, nullptr, 77), "NAK: No such command") << "the stream is out of step";
    }
};

TEST_F(FileUploadSessionTest, ServiceClientReplacesLogs)
{
    root.write(kTechBox + "Events.log", "1;EV;old\n");
    connectAs("service");

    EXPECT_EQ(upload(SVC_SET_EVENTS, "2:5;EV;second copy\n"), "ACK");
    EXPECT_EQ(root.read(kTechBox + "Events.log.2"), "5;EV;second copy\n");
    EXPECT_EQ(upload(SVC_SET_EVENTS, "0:6;EV;new\n"), "ACK");
    EXPECT_EQ(root.read(kTechBox + "Events.log"), "6;EV;new\n");

    for (const char *bad : {"1000:7;EV;x\n", "b:7;EV;x\n"}) {
        EXPECT_EQ(upload(SVC_SET_EVENTS, bad), "NAK: Error receiving data!") << bad;
        expectInStep();
    }
    EXPECT_EQ(root.read(kTechBox + "Events.log"), "6;EV;new\n");
    EXPECT_FALSE(root.exists(kTechBox + "Events.log.1000"));

    EXPECT_EQ(upload(SVC_SET_EVENTLIST, "2:list\n"), "ACK");
    EXPECT_EQ(root.read(kTechBox + "EventList.log"), "2:list\n");
    EXPECT_EQ(root.read(kTechBox + "EventList_temp.log"), "2:list\n");

    // Announcing nothing leaves the log as it was.
    struct stat before, after;
    ASSERT_EQ(stat(root.at(kTechBox + "Events.log").c_str(), &before), 0);
    EXPECT_EQ(upload(SVC_SET_EVENTS, ""), "ACK");
    ASSERT_EQ(stat(root.at(kTechBox + "Events.log").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(root.read(kTechBox + "Events.log"), "6;EV;new\n");

    // Full-level uploads stay out of a service client's reach, and their
    // payload is dropped.
    Frame refused;
    std::string image(1000, 'i');
    ASSERT_TRUE(client.send(MCH_DISPLAY_IMG, 4, image.data(), uint32_t(image.size())));
    ASSERT_TRUE(client.receive(&refused));
    EXPECT_EQ(refused.index, 0);
    EXPECT_EQ(refused.text(), "NAK: No such command");
    expectInStep();
}

// The logger keeps the service logs open for appending: after an upload its
// next line must land in the file that is read, and a logger running as
// another user must still be able to open it.
TEST_F(FileUploadSessionTest, UploadedLogKeepsItsFileOwnerAndMode)
{
    const std::string events = kTechBox + "Events.log";
    root.write(events, "1;EV;old\n");
    const std::string path = root.at(events);
    ASSERT_EQ(chmod(path.c_str(), 0620), 0);
    const bool asRoot = geteuid() == 0;
    if (asRoot) {
        // Another user's file, as the logger's may be.
        ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    }
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    int logger = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(logger, 0);

    connectAs("service");
    EXPECT_EQ(upload(SVC_SET_EVENTS, "5;EV;uploaded\n"), "ACK");
    ASSERT_EQ(write(logger, "6;EV;logged after\n", 18), 18);
    close(logger);

    EXPECT_EQ(root.read(events), "5;EV;uploaded\n6;EV;logged after\n");
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    int files = 0;
    for (auto &entry : std::filesystem::directory_iterator(root.at(kTechBox))) {
        (void)entry;
        files++;
    }
    EXPECT_EQ(files, 1) << "no temporary copy is left";
}

TEST_F(FileUploadSessionTest, UploadCutOffKeepsTheOldLog)
{
    root.write(kTechBox + "RepaEvents.log", "1;RS;repair\n");
    connectAs("service");
    // The header announces 65,536 bytes; fewer come before the client goes.
    std::string part = "0:" + std::string(30000, 'x');
    uint8_t header[FRAME_HEADER_SIZE];
    encodeFrameHeader(header, SVC_SET_REPAEVENTS, 3, 65536);
    ASSERT_TRUE(client.sendRaw(header, sizeof header));
    ASSERT_TRUE(client.sendRaw(part.data(), part.size()));
    client.close();

    // A new client is served once the cut-off session has ended; the log is
    // the old one, with no partial copy beside it.
    Client next;
    ASSERT_TRUE(next.connect(daemon.port()));
    ASSERT_EQ(next.authenticate("service"), "ACK");
    EXPECT_EQ(root.read(kTechBox + "RepaEvents.log"), "1;RS;repair\n");
    int files = 0;
    for (auto &entry : std::filesystem::directory_iterator(root.at(kTechBox))) {
        (void)entry;
        files++;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(FileUploadSessionTest, ImageSoundAndAddress)
{
    connectAs("testlab");

    std::string image(522239, 'p');
    EXPECT_EQ(upload(MCH_DISPLAY_IMG, image), "NAK: Wrong image size!");
    expectInStep();
    EXPECT_FALSE(root.exists("/dev/fb"));
    image += 'q';
    std::filesystem::create_directories(root.at("/dev"));
    EXPECT_EQ(upload(MCH_DISPLAY_IMG, image), "ACK");
    EXPECT_EQ(root.read("/dev/fb"), image);

    std::string pcm(48000 * 2 / 10, '\x11');   // a tenth of a second
    EXPECT_EQ(upload(MCH_PLAY_SND, pcm), "NAK: Unable to open audio device");
    expectInStep();
    root.write("/dev/dsp", "");
    EXPECT_EQ(upload(MCH_PLAY_SND, pcm), "ACK");
    EXPECT_EQ(root.read("/dev/dsp"), pcm);

    EXPECT_EQ(upload(MCH_SET_IPADDR, "192.168.7.7\n"), "ACK");
    EXPECT_EQ(root.read("/mnt/rwfs/data/system_config/qxip"), "192.168.7.7\n");
    expectInStep();
}

} // namespace
