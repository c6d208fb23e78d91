// Data package installation: the command line, the black-box records, and
// what is left on the appliance after each outcome.
#include "commands/service/install_data.h"
#include "commands/service/file_commands.h"
#include "file_test_support.h"
#include "frame/log_ring.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <sys/stat.h>
#include <utility>

namespace {

const std::string kRepairLog = "/mnt/rwfs/data/tech_box/RepaEvents.log";

uint64_t silentMachineControl() { return 0; }
uint64_t machineAt0x1234ABCD() { return 0x1234ABCD; }

class InstallDataTest : public FileTestBase {
protected:
    std::unique_ptr<ScopedEnv> path;

    void SetUp() override
    {
        FileTestBase::SetUp();
        // Only the black-box records: text messages are filtered out.
        logRingFree();
        logRingStart(5, LOG_RING_MAX_CAPACITY);
        logSetThreshold(2);
        std::filesystem::create_directories(at("/bin"));
        // The appliance's checker, standing in: a package is valid when its
        // signature file lies next to it and begins with GOOD.
        write("/bin/checkpak", "#!/bin/sh\n"
                               "[ \"$#\" -eq 1 ] || exit 2\n"
                               "[ -f \"$1.sig\" ] || exit 3\n"
                               "[ \"$(head -c 4 \"$1.sig\")\" = GOOD ] || exit 1\n");
        chmod(at("/bin/checkpak").c_str(), 0755);
        std::string searchPath = at("/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        path = std::make_unique<ScopedEnv>("PATH", searchPath.c_str());
    }
    void TearDown() override
    {
        path.reset();
        logRingFree();
        logSetThreshold(0);
        FileTestBase::TearDown();
    }

    // The black-box records queued so far: code and message.
    std::vector<std::pair<std::string, std::string>> records()
    {
        std::vector<std::pair<std::string, std::string>> found;
        for (unsigned i = 0; i < logRingCount(); i++) {
            LogEntry e;
            if (!logRingPeek(i, &e))
                break;
            if (e.kind == LOG_KIND_BLACKBOX_RECORD && e.dataSize >= 16) {
                uint32_t codeLength = 0;
                memcpy(&codeLength, e.data + 8, 4);
                const char *code = reinterpret_cast<const char *>(e.data + 16);
                found.emplace_back(code, code + codeLength);
            }
            logEntryRelease(&e);
        }
        return found;
    }
    using Records = std::vector<std::pair<std::string, std::string>>;

    // A gzip-compressed tar archive of the files, paths relative to the
    // data directory.
    std::string package(const std::vector<std::pair<std::string, std::string>> &files)
    {
        std::filesystem::create_directories(at("/stage"));
        for (auto &[name, content] : files) {
            std::filesystem::create_directories(std::filesystem::path(at("/stage/" + name)).parent_path());
            write("/stage/" + name, content);
        }
        std::string command = "tar czf " + at("/package.tar.gz") + " -C " + at("/stage") + " .";
        EXPECT_EQ(system(command.c_str()), 0);
        std::string bytes = read("/package.tar.gz");
        std::filesystem::remove_all(at("/stage"));
        std::filesystem::remove(at("/package.tar.gz"));
        return bytes;
    }
    static std::string signature(const char *word) { return word + std::string(256 - strlen(word), '.'); }

    std::string install(const std::string &payload, uint64_t (*clock)() = silentMachineControl,
                        uint32_t announced = 0)
    {
        Command *r = request(MCH_INSTALL_DATA, announced ? announced : uint32_t(payload.size()));
        int socket = daemonSide;
        auto answer = std::async(std::launch::async, [=] { return installDataPackage(r, socket, clock); });
        clientSends(payload);
        Command *a = answer.get();
        std::string text = a && commandText(a) ? commandText(a) : "";
        EXPECT_EQ(a ? a->index : -1, MCH_INSTALL_DATA);
        deleteCommand(&a);
        deleteCommand(&r);
        // The stream is in step: the next bytes are the client's next ones.
        clientSends("NEXT");
        char next[5] = {};
        EXPECT_EQ(socket_recv(daemonSide, next, 4, 0, 2000), 4);
        EXPECT_STREQ(next, "NEXT");
        return text;
    }
};

TEST_F(InstallDataTest, CommandLineIsTheAppliancesOwn)
{
    {
        ScopedEnv noRoot("MIF_ROOT", nullptr);
        EXPECT_EQ(buildInstallCommandLine("/tmp/partdata.tar.gz", 0xABCDEF0123ull),
                  "checkpak /tmp/partdata.tar.gz       && cd /mnt/rwfs/data && rm -f /mnt/rwfs/data/datpak.ver"
                  "          && tar zxf /tmp/partdata.tar.gz        && sync              && echo "
                  "\"0x000000ABCDEF0123;RE;MCH_INSTALL_DATA,ACK,RCPK:$(cat /mnt/rwfs/data/datpak.ver)\" >> "
                  "/mnt/rwfs/data/tech_box/RepaEvents.log && rm -rf /tmp/partdata.tar.gz*        || "
                  "( rm -rf /tmp/partdata.tar.gz* ; exit 1 ) ");
    }
    std::string line = buildInstallCommandLine("/tmp/partdata.tar.gz", 0);
    EXPECT_NE(line.find("checkpak " + root + "/tmp/partdata.tar.gz       && cd " + root + "/mnt/rwfs/data && "),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(">> " + root + "/mnt/rwfs/data/tech_box/RepaEvents.log && rm -rf " + root +
                        "/tmp/partdata.tar.gz*        || ( rm -rf " + root + "/tmp/partdata.tar.gz* ; exit 1 ) "),
              std::string::npos)
        << line;

    // A root the shell would split stays one word.
    ScopedEnv odd("MIF_ROOT", "/tmp/my root's");
    line = buildInstallCommandLine("/tmp/partdata.tar.gz", 0);
    EXPECT_NE(line.find("checkpak '/tmp/my root'\\''s/tmp/partdata.tar.gz'       && cd '/tmp/my root'\\''s/mnt/rwfs/data' "),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("rm -rf '/tmp/my root'\\''s/tmp/partdata.tar.gz'* ; exit 1"), std::string::npos) << line;
}

TEST_F(InstallDataTest, GoodPackageIsUnpackedAndRecordedOnce)
{
    write(kRepairLog, "0x0000000000000001;RS;repair\n");
    write("/mnt/rwfs/data/datpak.ver", "1.0\n");
    std::string archive = package({{"datpak.ver", "2.7.1\n"}, {"recipes/soup.txt", "leek\n"}});

    EXPECT_EQ(install(signature("GOOD") + archive), "ACK");
    EXPECT_EQ(read("/mnt/rwfs/data/datpak.ver"), "2.7.1\n");
    EXPECT_EQ(read("/mnt/rwfs/data/recipes/soup.txt"), "leek\n");
    EXPECT_EQ(read(kRepairLog), "0x0000000000000001;RS;repair\n"
                                "0x0000000000000000;RE;MCH_INSTALL_DATA,ACK,RCPK:2.7.1\n")
        << "machine control silent: sixteen zeros";
    EXPECT_EQ(entries("/tmp"), 0) << "neither the package nor its signature is left";
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"}})) << "success has no RE record";

    archive = package({{"datpak.ver", "2.8\n"}});
    EXPECT_EQ(install(signature("GOOD") + archive, machineAt0x1234ABCD), "ACK");
    std::string log = read(kRepairLog);
    EXPECT_EQ(log.substr(log.rfind("0x")), "0x000000001234ABCD;RE;MCH_INSTALL_DATA,ACK,RCPK:2.8\n");
}

TEST_F(InstallDataTest, RejectedPackageChangesNothing)
{
    write(kRepairLog, "0x0000000000000001;RS;repair\n");
    write("/mnt/rwfs/data/datpak.ver", "1.0\n");
    std::string archive = package({{"datpak.ver", "6.6\n"}, {"evil.txt", "x"}});

    EXPECT_EQ(install(signature("EVIL") + archive), "NAK: Unsuccessful");
    EXPECT_EQ(read(kRepairLog), "0x0000000000000001;RS;repair\n");
    EXPECT_EQ(read("/mnt/rwfs/data/datpak.ver"), "1.0\n") << "the old version stays";
    EXPECT_FALSE(exists("/mnt/rwfs/data/evil.txt"));
    EXPECT_EQ(entries("/tmp"), 0);
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"}, {"RE", "MCH_INSTALL_DATA,NAK: Unsuccessful"}}));

    // A signed archive that does not unpack: the command line still cleans up.
    logRingFree();
    logRingStart(5, LOG_RING_MAX_CAPACITY);
    EXPECT_EQ(install(signature("GOOD") + "this is no gzip data"), "NAK: Unsuccessful");
    EXPECT_EQ(entries("/tmp"), 0);
    EXPECT_EQ(read(kRepairLog), "0x0000000000000001;RS;repair\n");
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"}, {"RE", "MCH_INSTALL_DATA,NAK: Unsuccessful"}}));
}

TEST_F(InstallDataTest, OversizedOrShortPayloadsAreDrained)
{
    // One byte above 64 MiB: every byte is taken, none is stored.
    const uint32_t tooLarge = INSTALL_MAX_PAYLOAD + 1;
    Command *r = request(MCH_INSTALL_DATA, tooLarge);
    int socket = daemonSide;
    auto answer = std::async(std::launch::async, [=] { return installDataPackage(r, socket, silentMachineControl); });
    std::string chunk(1 << 20, 'z');
    for (uint32_t sent = 0; sent < tooLarge;) {
        uint32_t n = std::min<uint32_t>(uint32_t(chunk.size()), tooLarge - sent);
        ASSERT_EQ(socket_send(clientSide, chunk.data(), n, 0, 10000), ssize_t(n));
        sent += n;
    }
    Command *a = answer.get();
    EXPECT_STREQ(commandText(a), "NAK: File too large");
    deleteCommand(&a);
    deleteCommand(&r);
    EXPECT_EQ(entries("/tmp"), 0);
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"}, {"RE", "MCH_INSTALL_DATA,NAK: File too large"}}));

    // Shorter than a signature: exactly the announced bytes are taken.
    logRingFree();
    logRingStart(5, LOG_RING_MAX_CAPACITY);
    EXPECT_EQ(install(std::string(255, 's')), "NAK: Error receiving data!");
    EXPECT_EQ(install(""), "NAK: Error receiving data!");
    EXPECT_EQ(entries("/tmp"), 0);
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"},
                                  {"RE", "MCH_INSTALL_DATA,NAK: Error receiving data"},
                                  {"RS", "MCH_INSTALL_DATA"},
                                  {"RE", "MCH_INSTALL_DATA,NAK: Error receiving data"}}));
}

// A gzip member of exactly `size` bytes (at least 23) that unpacks to zeros:
// stored deflate blocks of at most 65,535 bytes, 5 bytes of header each,
// between the 10-byte gzip header and the 8-byte trailer. Appended to a
// package it pads it to any size; tar takes the zeros for the end of the
// archive it already saw.
std::string zeroGzipMember(size_t size)
{
    uint32_t table[256];
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    size_t blocks = 1;
    while (blocks * 65535 < size - 18 - 5 * blocks)
        blocks++;
    size_t zeros = size - 18 - 5 * blocks;
    std::string member("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t b = 0, left = zeros; b < blocks; b++) {
        uint16_t length = uint16_t(std::min<size_t>(left, 65535));
        left -= length;
        uint16_t inverse = uint16_t(~length);
        member += char(b + 1 == blocks ? 1 : 0);
        member.append(reinterpret_cast<const char *>(&length), 2);
        member.append(reinterpret_cast<const char *>(&inverse), 2);
        member.append(length, '\0');
        for (uint16_t i = 0; i < length; i++)
            crc = table[crc & 0xFF] ^ (crc >> 8);
    }
    crc = ~crc;
    uint32_t isize = uint32_t(zeros);
    member.append(reinterpret_cast<const char *>(&crc), 4);
    member.append(reinterpret_cast<const char *>(&isize), 4);
    return member;
}

TEST_F(InstallDataTest, PackageOfExactlyTheLimitIsAccepted)
{
    std::string archive = package({{"datpak.ver", "3.0\n"}});
    std::string payload = signature("GOOD") + archive;
    payload += zeroGzipMember(INSTALL_MAX_PAYLOAD - payload.size());
    ASSERT_EQ(payload.size(), size_t(INSTALL_MAX_PAYLOAD));

    Command *r = request(MCH_INSTALL_DATA, uint32_t(payload.size()));
    int socket = daemonSide;
    auto answer = std::async(std::launch::async, [=] { return installDataPackage(r, socket, silentMachineControl); });
    for (size_t sent = 0; sent < payload.size();) {
        size_t n = std::min<size_t>(1 << 20, payload.size() - sent);
        ASSERT_EQ(socket_send(clientSide, payload.data() + sent, n, 0, 10000), ssize_t(n));
        sent += n;
    }
    Command *a = answer.get();
    EXPECT_STREQ(commandText(a), "ACK");
    deleteCommand(&a);
    deleteCommand(&r);
    EXPECT_EQ(read("/mnt/rwfs/data/datpak.ver"), "3.0\n");
    EXPECT_EQ(entries("/tmp"), 0);
}

TEST_F(InstallDataTest, SignatureThatCannotBeStoredDrainsThePackage)
{
    std::filesystem::remove_all(at("/tmp"));
    std::string archive = package({{"datpak.ver", "3.0\n"}});
    EXPECT_EQ(install(signature("GOOD") + archive), "NAK: Error receiving data!");
    EXPECT_FALSE(exists("/mnt/rwfs/data/datpak.ver"));
    EXPECT_EQ(records(), (Records{{"RS", "MCH_INSTALL_DATA"}, {"RE", "MCH_INSTALL_DATA,NAK: Error receiving data"}}));
}

} // namespace
