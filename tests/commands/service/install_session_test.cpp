// MCH_INSTALL_DATA through the real daemon, with a stand-in package checker
// first on its PATH and machine control silent about the time.
#include "requests/request_codes.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"
#include "session/command_list.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

const std::string kRepairLog = "/mnt/rwfs/data/tech_box/RepaEvents.log";

class InstallSessionTest : public ::testing::Test {
protected:
    TempRoot root;
    IpcPeer mcl;
    Daemon daemon;
    Client client;

    void SetUp() override
    {
        ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
        mcl.setSilent(RIF_GET_SYS_TIME);
        // Valid when the signature file lies next to the package and begins
        // with GOOD.
        root.write("/bin/checkpak", "#!/bin/sh\n"
                                    "[ \"$#\" -eq 1 ] || exit 2\n"
                                    "[ \"$(head -c 4 \"$1.sig\")\" = GOOD ] || exit 1\n");
        chmod(root.at("/bin/checkpak").c_str(), 0755);
        const char *path = getenv("PATH");
        std::string searchPath = root.at("/bin") + ":" + (path ? path : "/usr/bin:/bin");
        ASSERT_TRUE(daemon.start(root, {"-nowait"}, {{"PATH", searchPath}}));
        ASSERT_TRUE(client.connect(daemon.port()));
        ASSERT_EQ(client.authenticate("developer"), "ACK");
    }
    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }

    std::string package(const std::string &version)
    {
        root.write("/stage/datpak.ver", version);
        root.write("/stage/recipes/bread.txt", "flour\n");
        std::string command = "tar czf " + root.at("/package.tar.gz") + " -C " + root.at("/stage") + " .";
        EXPECT_EQ(system(command.c_str()), 0);
        std::string bytes = root.read("/package.tar.gz");
        std::filesystem::remove_all(root.at("/stage"));
        std::filesystem::remove(root.at("/package.tar.gz"));
        return bytes;
    }
    static std::string signature(const char *word) { return word + std::string(256 - 4, '.'); }
    std::string install(const std::string &payload)
    {
        Frame answer;
        if (!client.send(MCH_INSTALL_DATA, 45, payload.data(), uint32_t(payload.size())) ||
            !client.receive(&answer, 20000))
            return "(no answer)";
        EXPECT_EQ(answer.index, MCH_INSTALL_DATA);
        EXPECT_EQ(answer.tag, 45);
        return answer.text();
    }
    // /tmp also holds the messaging sockets.
    bool noTemporaryFiles()
    {
        return !root.exists("/tmp/partdata.tar.gz") && !root.exists("/tmp/partdata.tar.gz.sig");
    }
    void expectInStep() { EXPECT_EQ(client.call(60, nullptr, 77), "NAK: No such command"); }
};

TEST_F(InstallSessionTest, GoodPackageIsInstalledAndRecorded)
{
    root.write(kRepairLog, "0x0000000000000001;RS;repair\n");
    root.write("/mnt/rwfs/data/datpak.ver", "1.0\n");
    EXPECT_EQ(install(signature("GOOD") + package("4.2.0\n")), "ACK");
    EXPECT_EQ(root.read("/mnt/rwfs/data/datpak.ver"), "4.2.0\n");
    EXPECT_EQ(root.read("/mnt/rwfs/data/recipes/bread.txt"), "flour\n");
    EXPECT_EQ(root.read(kRepairLog), "0x0000000000000001;RS;repair\n"
                                     "0x0000000000000000;RE;MCH_INSTALL_DATA,ACK,RCPK:4.2.0\n");
    EXPECT_TRUE(noTemporaryFiles()) << "package and signature removed";
    expectInStep();
}

TEST_F(InstallSessionTest, RejectedPackageChangesNothing)
{
    root.write(kRepairLog, "0x0000000000000001;RS;repair\n");
    root.write("/mnt/rwfs/data/datpak.ver", "1.0\n");
    EXPECT_EQ(install(signature("EVIL") + package("6.6.6\n")), "NAK: Unsuccessful");
    EXPECT_EQ(root.read(kRepairLog), "0x0000000000000001;RS;repair\n");
    EXPECT_EQ(root.read("/mnt/rwfs/data/datpak.ver"), "1.0\n");
    EXPECT_FALSE(root.exists("/mnt/rwfs/data/recipes"));
    EXPECT_TRUE(noTemporaryFiles());
    expectInStep();
}

TEST_F(InstallSessionTest, OversizedAndShortPayloadsKeepTheStreamInStep)
{
    const uint32_t tooLarge = 67108865;
    uint8_t header[12] = {0, 0, 0, uint8_t(MCH_INSTALL_DATA), 0, 0, 0, 45,
                          uint8_t(tooLarge >> 24), uint8_t(tooLarge >> 16), uint8_t(tooLarge >> 8),
                          uint8_t(tooLarge)};
    ASSERT_TRUE(client.sendRaw(header, sizeof header));
    std::string chunk(1 << 20, 'z');
    for (uint32_t sent = 0; sent < tooLarge;) {
        uint32_t n = std::min<uint32_t>(uint32_t(chunk.size()), tooLarge - sent);
        ASSERT_TRUE(client.sendRaw(chunk.data(), n));
        sent += n;
    }
    Frame answer;
    ASSERT_TRUE(client.receive(&answer, 20000));
    EXPECT_EQ(answer.text(), "NAK: File too large");
    expectInStep();
    EXPECT_TRUE(noTemporaryFiles());

    EXPECT_EQ(install(std::string(100, 's')), "NAK: Error receiving data!");
    expectInStep();
    EXPECT_TRUE(noTemporaryFiles());
}

} // namespace
