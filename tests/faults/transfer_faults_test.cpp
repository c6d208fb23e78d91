// Transfers that break: uploads whose connection drops anywhere, storage
// that refuses the write, and SIGTERM in the middle of an upload. A broken
// upload never touches the file: it holds its old content until a complete
// upload replaces it.
#include "faults/fault_files.h"
#include "support/file_size_limit.h"
#include "support/daemon_harness.h"
#include "session/command_list.h"
#include "session/wire.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace {

using faults::entries;
using faults::kEvents;
using faults::kTechBox;
using faults::logLines;

class TransferFaultTest : public faults::DaemonFaultTest {
protected:
    // Sends the upload and returns the answer's text.
    std::string upload(Client *client, int32_t index, const std::string &bytes)
    {
        if (!client->send(index, 9, bytes.data(), uint32_t(bytes.size())))
            return "(send failed)";
        Frame answer;
        if (!client->receive(&answer, 20000))
            return "(no answer)";
        return answer.text();
    }
    // Only the listed files are in the directory: an abandoned upload
    // leaves nothing behind.
    void expectOnly(const std::string &dir, const std::vector<std::string> &names)
    {
        EXPECT_EQ(entries(root, dir), names);
    }
};

TEST_F(TransferFaultTest, UploadDroppedAnywhereLeavesTheOldOrTheNewFile)
{
    const std::string oldContent = logLines('o', 20000);
    const std::string newContent = logLines('n', 30000);
    root.write(kEvents, oldContent);
    ASSERT_TRUE(daemon.start(root));

    // A reader that looks at the file all the while the uploads are cut
    // off. (The complete upload at the end copies its content into the log
    // in place, which a reader may see half way: that window is the price of
    // keeping the logger's file.)
    std::atomic<bool> done{false}, completing{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            std::string now = root.read(kEvents);
            if (now != oldContent && now != newContent && !completing)
                torn++;
            reads++;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::mt19937 random(7);
    for (int attempt = 0; attempt < 12; attempt++) {
        Client client;
        connectAs(&client, "service");
        size_t cut = random() % newContent.size();
        uint8_t header[FRAME_HEADER_SIZE];
        encodeFrameHeader(header, SVC_SET_EVENTS, 1, uint32_t(newContent.size()));
        ASSERT_TRUE(client.sendRaw(header, sizeof header));
        ASSERT_TRUE(cut == 0 || client.sendRaw(newContent.data(), cut));
        client.close();
        // Once the next client is served, the dropped session has ended.
        Client next;
        connectAs(&next, "service");
        expectOnly(kTechBox, {"Events.log"});
        EXPECT_EQ(root.read(kEvents), oldContent) << "cut after " << cut << " bytes";
    }
    Client client;
    connectAs(&client, "service");
    completing = true;
    EXPECT_EQ(upload(&client, SVC_SET_EVENTS, newContent), "ACK");
    EXPECT_EQ(root.read(kEvents), newContent);

    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "a reader saw a file that was neither old nor new";
    expectOnly(kTechBox, {"Events.log"});
}

TEST_F(TransferFaultTest, FullDeviceIsAnsweredWithTheFailureText)
{
    // The framebuffer on a device that takes no byte.
    std::filesystem::create_directories(root.at("/dev"));
    std::filesystem::create_symlink("/dev/full", root.at("/dev/fb"));
    ASSERT_TRUE(daemon.start(root));
    Client client;
    connectAs(&client, "testlab");
    std::string image(522240, '\x7f');
    EXPECT_EQ(upload(&client, MCH_DISPLAY_IMG, image), "NAK: Error receiving data!");
    // Every byte was taken: the next frame is read where it starts.
    EXPECT_EQ(client.call(60, nullptr, 3), "NAK: No such command");
}

TEST_F(TransferFaultTest, FullFileSystemKeepsTheOldFile)
{
    const std::string oldContent = logLines('o', 1000);
    root.write(kEvents, oldContent);
    {
        FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(daemon.start(root));
    }
    Client client;
    connectAs(&client, "service");
    EXPECT_EQ(upload(&client, SVC_SET_EVENTS, logLines('n', 100 * 1024)), "NAK: Error receiving data!");
    EXPECT_EQ(root.read(kEvents), oldContent);
    expectOnly(kTechBox, {"Events.log"});
    // A file that fits still goes in, on the same connection.
    const std::string small = logLines('s', 2000);
    EXPECT_EQ(upload(&client, SVC_SET_EVENTS, small), "ACK");
    EXPECT_EQ(root.read(kEvents), small);
}

TEST_F(TransferFaultTest, SigtermInTheMiddleOfAnUpload)
{
    const std::string oldContent = logLines('o', 5000);
    const std::string newContent = logLines('n', 200000);
    root.write(kEvents, oldContent);
    ASSERT_TRUE(daemon.start(root));
    Client client;
    connectAs(&client, "service");
    uint8_t header[FRAME_HEADER_SIZE];
    encodeFrameHeader(header, SVC_SET_EVENTS, 1, uint32_t(newContent.size()));
    ASSERT_TRUE(client.sendRaw(header, sizeof header));
    ASSERT_TRUE(client.sendRaw(newContent.data(), newContent.size() / 2));
    // The upload's temporary copy is there before the daemon is ended.
    for (int waited = 0; entries(root, kTechBox).size() < 2 && waited < 5000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(entries(root, kTechBox).size(), 2u);

    EXPECT_EQ(daemon.signalAndWait(SIGTERM, 10000), 15);
    EXPECT_EQ(root.read(kEvents), oldContent);
    // The handler raises the stop flag just before it exits, so an upload
    // that wakes in between may still drop its own copy; mostly the exit
    // comes first and the copy stays. Either way nothing else is there.
    const std::vector<std::string> left = entries(root, kTechBox);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back(), "Events.log");
    if (left.size() == 2)
        EXPECT_EQ(left.front().rfind(".Events.log.mif-part.", 0), 0u) << left.front();
    EXPECT_LE(left.size(), 2u);

    // The next start removes a cut-off copy, serves, and the file is
    // replaced in full.
    Daemon again;
    ASSERT_TRUE(again.start(root));
    expectOnly(kTechBox, {"Events.log"});
    Client next;
    ASSERT_TRUE(next.connect(again.port()));
    ASSERT_EQ(next.authenticate("service"), "ACK");
    EXPECT_EQ(upload(&next, SVC_SET_EVENTS, newContent), "ACK");
    EXPECT_EQ(root.read(kEvents), newContent);
    again.signalAndWait(SIGKILL, 5000);
}

// The start-up sweep removes the daemon's own temporary files only: a
// backup, another program's temporary file and a copy the daemon's upload
// did not make all stay; what a cut-off write of the calibration or serial
// file left goes.
TEST_F(TransferFaultTest, RestartRemovesOnlyTheDaemonsOwnLeftovers)
{
    const std::string config = "/mnt/rwfs/data/system_config/";
    root.write(kEvents, "1;EV;log\n");
    const std::vector<std::string> othersFiles = {"Events.log", "Events.log.3", "Events.log.a1B2c3",
                                                  "Events.log.backup"};
    for (const std::string &name : othersFiles)
        root.write(kTechBox + name, "keep");
    root.write(kTechBox + ".Events.log.mif-part.Q7x2Lk", "partial upload");
    root.write(kTechBox + ".Events.log.3.mif-part.Q7x2Lk", "partial numbered copy");
    root.write(config + "scali.dat", "0,1200;1000,81200;");
    root.write(config + ".scali.dat.mif-part.a9B8c7", "0,12");
    root.write(config + ".qxsn.dat.mif-part.a9B8c7", "40063");
    root.write(config + "qxip.backup", "keep");

    ASSERT_TRUE(daemon.start(root));
    Client client;
    connectAs(&client, "service");   // start-up is over
    expectOnly(kTechBox, {"Events.log", "Events.log.3", "Events.log.a1B2c3", "Events.log.backup"});
    EXPECT_EQ(root.read(kTechBox + "Events.log.backup"), "keep");
    EXPECT_TRUE(root.exists(config + "qxip.backup"));
    EXPECT_TRUE(root.exists(config + "scali.dat"));
    EXPECT_FALSE(root.exists(config + ".scali.dat.mif-part.a9B8c7"));
    EXPECT_FALSE(root.exists(config + ".qxsn.dat.mif-part.a9B8c7"));
}

} // namespace
