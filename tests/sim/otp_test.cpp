// The OTP stand-in: the driver's rules for burning and locking words, and
// the files as the daemon uses them, with the driver in a process of its
// own: a burn is visible to a read straight after it, a lock holds, and
// holds across runs.
#include "sim_test_util.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

#include "otp.h"

namespace {

TEST(OtpRules, BurnsOnlyWithWriteAccessAndLocksOnlyWithFullAccess)
{
    OtpMemory m;
    std::string report;
    EXPECT_FALSE(otpApplyCommand(m, "2:0x0000002A,3:0x00000000", &report));
    EXPECT_EQ(m.words[2], 0u);

    m.unlocked = true;
    EXPECT_TRUE(otpApplyCommand(m, "2:0x0000002A,3:0x00000001", &report));
    EXPECT_EQ(m.words[2], 0x2Au);
    EXPECT_EQ(m.words[3], 1u);
    // Fuses: bits only ever go from 0 to 1.
    EXPECT_TRUE(otpApplyCommand(m, "2:0x00000101", &report));
    EXPECT_EQ(m.words[2], 0x12Bu);

    EXPECT_FALSE(otpApplyCommand(m, "0x10:0x0000000C", &report));
    EXPECT_EQ(m.lockMask, 0u);
    m.fullAccess = true;
    EXPECT_TRUE(otpApplyCommand(m, "0x10:0x0000000C\n", &report));   // with the line end of an echo
    EXPECT_EQ(m.lockMask, 0xCu);
    EXPECT_FALSE(otpApplyCommand(m, "3:0x00000002", &report));
    EXPECT_EQ(m.words[3], 1u);
    EXPECT_TRUE(otpApplyCommand(m, "0:0xFFFFFFFF", &report));
    EXPECT_EQ(m.words[0], 0xFFFFFFFFu);

    EXPECT_FALSE(otpApplyCommand(m, "4:0x1", &report));            // no such word
    EXPECT_FALSE(otpApplyCommand(m, "1=0x1", &report));            // not understood
    EXPECT_FALSE(otpApplyCommand(m, "1:0x100000000", &report));    // more than a word
    EXPECT_EQ(m.words[1], 0u);
}

class OtpDriverTest : public ::testing::Test {
protected:
    void startDriver()
    {
        ASSERT_TRUE(driver_.start(root_, {"otp"}));
        ASSERT_TRUE(eventually([&] { return driver_.output().find("ready") != std::string::npos; }, 5000))
            << driver_.output();
    }
    // As the daemon writes a driver file: truncating, one write, close.
    void writeDriverFile(const char *appliancePath, const std::string &bytes)
    {
        int fd = open(root_.at(appliancePath).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ASSERT_EQ(close(fd), 0);
    }
    // Whether the driver holds its lease on id.bin again, so that it sees
    // the next read coming. It takes it back as soon as the last reader has
    // closed the file; a reader that reads again at once, before the driver
    // had its turn, would not wait for writes made in between.
    bool leaseHeld()
    {
        struct stat st;
        if (stat(root_.at(OTP_ID_BIN).c_str(), &st) != 0)
            return false;
        std::ifstream locks("/proc/locks");
        std::string inode = ":" + std::to_string(st.st_ino) + " ";
        for (std::string line; std::getline(locks, line);)
            if (line.find("LEASE") != std::string::npos && line.find(inode) != std::string::npos)
                return true;
        return false;
    }
    // Words 2 and 3 as the daemon reads OTP value B: bytes 8-15 of id.bin.
    uint64_t valueB()
    {
        EXPECT_TRUE(eventually([&] { return leaseHeld(); }));
        std::string image = root_.read(OTP_ID_BIN);
        uint64_t value = ~0ull;
        if (image.size() >= 16)
            memcpy(&value, image.data() + 8, sizeof value);
        return value;
    }
    void burnAndLockB(const std::string &assignment)
    {
        writeDriverFile(OTP_UNLOCK, std::string("1", 2));
        writeDriverFile(OTP_ID, assignment);
        burnt_ = valueB();   // at once, as the daemon reads it back
        writeDriverFile(OTP_FULL, std::string("1", 2));
        writeDriverFile(OTP_ID, "0x10:0x0000000C");
        writeDriverFile(OTP_UNLOCK, std::string("0", 2));
    }

    TempRoot root_;
    SimChild driver_;
    uint64_t burnt_ = 0;
};

TEST_F(OtpDriverTest, BurnsWhatIsReadBackAtOnceAndKeepsTheLockAcrossRuns)
{
    startDriver();
    EXPECT_EQ(valueB(), 0u);
    burnAndLockB("2:0x0000002A,3:0x00000000");
    EXPECT_EQ(burnt_, 42u);
    EXPECT_TRUE(eventually([&] { return driver_.output().find("lock word now 0x0000000C") != std::string::npos; }))
        << driver_.output();

    // Locked: a second burn changes nothing, now and after a restart.
    burnAndLockB("2:0x000000FF,3:0x00000000");
    EXPECT_EQ(burnt_, 42u);
    EXPECT_EQ(driver_.stop(), 0);
    startDriver();
    burnAndLockB("2:0x000000FF,3:0x00000000");
    EXPECT_EQ(burnt_, 42u);
    EXPECT_NE(driver_.output().find("word 2 is locked"), std::string::npos) << driver_.output();

    // Words 0 and 1 were never locked.
    writeDriverFile(OTP_UNLOCK, std::string("1", 2));
    writeDriverFile(OTP_ID, "0:0x00000007,1:0x00000000");
    ASSERT_TRUE(eventually([&] { return leaseHeld(); }));
    std::string image = root_.read(OTP_ID_BIN);
    ASSERT_EQ(image.size(), 16u);
    EXPECT_EQ(image[0], 7);
}

}  // namespace
