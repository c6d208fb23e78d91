// The identity cache, the serial file, the OTP values and the two serial
// commands.
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "commands/service/identity.h"
#include "commands/service/service_commands.h"
#include "service_test_support.h"
#include "session/auth.h"
#include "session/command_list.h"
#include "session/signing.h"
#include "support/identity_replies.h"

namespace {

const char *const kSerialFile = "/mnt/rwfs/data/system_config/qxsn.dat";
const char *const kOtpBin = "/sys/uid/otp/id.bin";
const char *const kOtpId = "/sys/uid/otp/id";
const char *const kUnlock = "/sys/module/unique_id/parameters/unlock";
const char *const kFullAccess = "/sys/module/otp/parameters/otp_full";

// Grants the client level of a development role, the way a session does.
bool authenticateAs(const char *role)
{
    SigningKey key;
    std::string path = std::string(MIF_TEST_KEY_DIR) + "/" + role + ".pem";
    if (signingSetup() != CRYPT_OK || loadSigningKeyFile(&key, path.c_str()) != CRYPT_OK)
        return false;
    CommandPtr challenge(createChallenge());
    if (!challenge)
        return false;
    uint8_t signature[512];
    uint32_t length = sizeof signature;
    if (signChallenge(&key, challenge->data, challenge->length, signature, &length) != CRYPT_OK)
        return false;
    CommandPtr request(createRawCommand(MCH_CHAP, 1, signature, length));
    CommandPtr answer(checkChallenge(request.get(), -1));
    return answer && std::string(commandText(answer.get())) == "ACK";
}

bool haveRoleKeys()
{
    return access((std::string(MIF_TEST_KEY_DIR) + "/service.pem").c_str(), R_OK) == 0;
}

// The driver's word file as a FIFO that takes every write, in order: the
// words are written and then locked through the same file.
class DriverFile {
public:
    DriverFile(const ServiceRoot &root, const char *appliancePath)
    {
        std::string path = root.at(appliancePath);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        // Read and write: the reader never sees an end, and the daemon's
        // open never waits for a reader.
        if (mkfifo(path.c_str(), 0600) == 0)
            fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd_ >= 0)
            reader_ = std::thread([this] { readAll(); });
    }
    ~DriverFile() { stop(); }

    // Ends the reader and returns every byte written.
    std::string stop()
    {
        stopping_ = true;
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return written_;
    }

private:
    void readAll()
    {
        for (;;) {
            struct pollfd wait = {fd_, POLLIN, 0};
            if (poll(&wait, 1, 10) > 0) {
                char buffer[256];
                ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0)
                    written_.append(buffer, size_t(n));
            } else if (stopping_) {
                return;   // whatever was written before stop() has been read
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::string written_;
    std::thread reader_;
};

class IdentityTest : public ServiceCommandTest {
protected:
    void SetUp() override
    {
        ServiceCommandTest::SetUp();
        resetClientAuthLevel();
    }

    std::string getSerial() { return call(cmdHandler_MCHGetSerial, MCH_GET_SERIAL, nullptr); }
    std::string setSerial(const char *text) { return call(cmdHandler_MCHSetSerial, MCH_SET_SERIAL, text); }
    // The last field of the answer.
    std::string fean() { std::string s = getSerial(); return s.substr(s.find("FEAN:")); }
};

TEST_F(IdentityTest, Gs1CheckDigit)
{
    EXPECT_EQ(serialCheckDigit(12345678901234560ull), 0);
    EXPECT_EQ(serialCheckDigit(12345678901234565ull), 255);
    EXPECT_EQ(serialCheckDigit(4006381333931ull), 1) << "a shorter number is read with leading zeros";
    EXPECT_EQ(serialCheckDigit(99999999999999999ull), 255);
    EXPECT_EQ(serialCheckDigit(99999999999999992ull), 2);
    EXPECT_EQ(serialCheckDigit(100000000000000000ull), 255) << "eighteen digits";
    EXPECT_EQ(serialCheckDigit(0), 0);
}

TEST_F(IdentityTest, StartUpReadsEverySource)
{
    root.write(kOtpBin, otpBytes(0x0102030405060708ull, 12345678901234567ull));
    root.write(kSerialFile, "12345678901234560");
    root.write("/mnt/rwfs/data/datpak.ver", "DP 7\n");
    root.write("/opt/get_sw_version_into_file.sh",
               "#!/bin/sh\nprintf 'FE V2.14.3\\nbuild 77\\n' > \"$MIF_ROOT/tmp/SW_VERSION\"\n");
    chmod(root.at("/opt/get_sw_version_into_file.sh").c_str(), 0755);
    readIdentity();
    EXPECT_EQ(identityCache.serial, 12345678901234560ull);
    EXPECT_STREQ(identityCache.frontEndVersion, "FE V2.14.3") << "the first line, from the script's file";

    mcl.setReply(RIF_GET_VERSION, 0, versionReply(0x100, 0x200, 0x300));
    // All 32 bytes filled: the text must still end.
    mcl.setReply(RIF_GET_BACKEND_SERIAL, 0, backendSerialReply("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"));
    EXPECT_EQ(getSerial(), "QX:12345678901234560,FE:72623859790382856,BE:ABCDEFGHIJKLMN   OPQRSTUVWXYZ012345,"
                           "SWFE:V2.14.3,BEHW:0x00000300,SWMC:0x00000100,SWPC:0x00000200,RCPK:DP 7\n,"
                           "FEAN:1234PA56789012   34567");
    ASSERT_EQ(mcl.requests(RIF_GET_BACKEND_SERIAL).size(), 1u);
    EXPECT_EQ(mcl.requests(RIF_GET_BACKEND_SERIAL)[0].payload, (Bytes{32, 0})) << "32 bytes asked for";

    // Backend values are kept; the data package version is read each time.
    root.write("/mnt/rwfs/data/datpak.ver", "DP 8");
    std::string again = getSerial();
    EXPECT_NE(again.find(",RCPK:DP 8,"), std::string::npos) << again;
    EXPECT_EQ(mcl.requests(RIF_GET_VERSION).size(), 1u);
    EXPECT_EQ(mcl.requests(RIF_GET_BACKEND_SERIAL).size(), 1u);
}

TEST_F(IdentityTest, MissingSourcesNeverStopStartUp)
{
    mcl.setReply(RIF_GET_VERSION, 1);
    mcl.setReply(RIF_GET_BACKEND_SERIAL, 1);
    testing::internal::CaptureStderr();
    readIdentity();
    std::string answer = getSerial();
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, "QX:0,FE:18446744073709551615,BE:,SWFE:,BEHW:0x00000000,SWMC:0x00000000,SWPC:0x00000000,"
                      "RCPK:,FEAN:1844674PA40737095   51615");
    EXPECT_NE(console.find("Cannot open data package version!\n"), std::string::npos);
    EXPECT_NE(console.find("Machine Control failed to acquire backend versions!\n"), std::string::npos);
    EXPECT_NE(console.find("Machine Control failed to acquire backend serial!\n"), std::string::npos);
    EXPECT_TRUE(log.hasText(3, "readSerialFromOTP", "No such file or directory\n"));

    // What failed is asked for again next time.
    mcl.setReply(RIF_GET_VERSION, 0, versionReply(1, 2, 3));
    mcl.setReply(RIF_GET_BACKEND_SERIAL, 0, backendSerialReply("SHORT"));
    EXPECT_NE(getSerial().find(",BE:SHORT   ,"), std::string::npos);
    EXPECT_EQ(mcl.requests(RIF_GET_VERSION).size(), 2u);
}

TEST_F(IdentityTest, SerialFileMustHoldSeventeenGoodDigits)
{
    const std::pair<const char *, uint64_t> cases[] = {
        {"12345678901234560", 12345678901234560ull},
        {"12345678901234560\n", 12345678901234560ull},   // what follows the 17 digits is not read
        {"00000000000000000", 0},                        // seventeen '0': not set
        {"12345678901234565", 0},                        // wrong check digit
        {"1234567890123456", 0},                         // short
        {"1234567890123456x", 0},
        {"00004006381333931", 4006381333931ull},
    };
    for (const auto &[content, expected] : cases) {
        root.write(kSerialFile, content);
        EXPECT_EQ(readSerialFile(), expected) << content;
    }
    std::filesystem::remove(root.at(kSerialFile));
    EXPECT_EQ(readSerialFile(), 0u);
}

TEST_F(IdentityTest, VersionTexts)
{
    root.write("/mnt/rwfs/data/datpak.ver", std::string(255, 'v'));
    readDataPackageVersion();
    EXPECT_EQ(strlen(identityCache.dataPackageVersion), 255u);
    testing::internal::CaptureStderr();
    root.write("/mnt/rwfs/data/datpak.ver", std::string(256, 'v'));
    readDataPackageVersion();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Data package version corrupted!\n");
    EXPECT_STREQ(identityCache.dataPackageVersion, "");

    // The front-end version: no line feed, or too long for the cache.
    root.write("/tmp/SW_VERSION", "FE V1");
    readIdentity();
    EXPECT_STREQ(identityCache.frontEndVersion, "FE V1");
    root.write("/tmp/SW_VERSION", std::string(300, 'x') + "\n");
    readIdentity();
    EXPECT_EQ(std::string(identityCache.frontEndVersion), std::string(255, 'x'));
    std::filesystem::remove(root.at("/tmp/SW_VERSION"));
    readIdentity();
    EXPECT_STREQ(identityCache.frontEndVersion, "");
    EXPECT_NE(getSerial().find(",SWFE:,"), std::string::npos);
}

TEST_F(IdentityTest, ApplianceSerialRules)
{
    readIdentity();
    EXPECT_EQ(setSerial(nullptr), "NAK: Argument missing, expected serial number");
    EXPECT_EQ(setSerial("12x"), "NAK: Wrong number format in argument");
    EXPECT_EQ(setSerial("100000000000000000"), "NAK: Serial too big");
    EXPECT_EQ(setSerial("12345678901234565"), "NAK: Wrong checksum in serial");
    EXPECT_FALSE(root.exists(kSerialFile));
    EXPECT_TRUE(log.records().empty());

    EXPECT_EQ(setSerial("12345678901234560"), "ACK");
    EXPECT_EQ(root.read(kSerialFile), "12345678901234560");
    EXPECT_EQ(log.records(), (std::vector<std::string>{"RS|MCH_SET_SERIAL,12345678901234560",
                                                       "RE|MCH_SET_SERIAL,12345678901234560"}));
    EXPECT_EQ(getSerial().substr(0, 21), "QX:12345678901234560,");
}

TEST_F(IdentityTest, OnlyFullAccessReplacesASerial)
{
    if (!haveRoleKeys())
        GTEST_SKIP() << "no private role keys in this build's key set";
    root.write(kSerialFile, "12345678901234560");
    readIdentity();

    ASSERT_TRUE(authenticateAs("service"));
    ASSERT_EQ(getClientAuthLevel(), 1);
    EXPECT_EQ(setSerial("00004006381333931"), "NAK: Serial already set");
    EXPECT_EQ(root.read(kSerialFile), "12345678901234560");

    ASSERT_TRUE(authenticateAs("testlab"));
    ASSERT_EQ(getClientAuthLevel(), 5);
    EXPECT_EQ(setSerial("00004006381333931"), "ACK") << "leading zeros are padding, not octal";
    EXPECT_EQ(root.read(kSerialFile), "00004006381333931");

    // With no serial set, a service client may write one.
    root.write(kSerialFile, "00000000000000000");
    readIdentity();
    ASSERT_TRUE(authenticateAs("service"));
    EXPECT_EQ(setSerial("12345678901234560"), "ACK");
    EXPECT_EQ(setSerial("12345678901234560"), "NAK: Serial already set");
}

TEST_F(IdentityTest, SerialFileIsReplacedWhole)
{
    root.write(kSerialFile, "00000000000000000");
    readIdentity();
    std::string kept = root.secondName(kSerialFile);
    EXPECT_EQ(setSerial("12345678901234560"), "ACK");
    EXPECT_EQ(root.read(kSerialFile), "12345678901234560");
    EXPECT_EQ(root.read(kept), "00000000000000000") << "the old file must not be rewritten in place";

    std::filesystem::remove_all(root.at("/mnt/rwfs/data/system_config"));
    identityCache.serial = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(setSerial("4006381333931"), "NAK: Writing serial failed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open serial number file for writing!\n");
    EXPECT_EQ(identityCache.serial, 0u) << "a failed write leaves the cache";
}

TEST_F(IdentityTest, BurningAnOtpValue)
{
    root.write(kOtpBin, otpBytes(0, 0));
    root.write(kUnlock, "");
    root.write(kFullAccess, "");
    readIdentity();
    ASSERT_EQ(identityCache.otpValueB, 0u);
    // This stand-in burns nothing: the words do not read back as written,
    // so the pair is not locked, and both accesses end switched off.
    {
        DriverFile id(root, kOtpId);
        EXPECT_EQ(setSerial("FEEAN:42"), "NAK: Error writing serial to OTP");
        EXPECT_EQ(id.stop(), "2:0x0000002A,3:0x00000000");
    }
    EXPECT_EQ(root.read(kUnlock), std::string("0", 2));
    EXPECT_EQ(root.read(kFullAccess), "") << "full access was never switched on";
    EXPECT_EQ(identityCache.otpValueB, 0u);

    // The value burnt by an attempt whose lock did not happen: the device
    // shows it, so another attempt burns no further bits but locks it.
    root.write(kOtpBin, otpBytes(0, 42));
    std::filesystem::remove(root.at(kOtpId));
    {
        DriverFile id(root, kOtpId);
        EXPECT_EQ(setSerial("FEEAN:42"), "ACK");
        EXPECT_EQ(id.stop(), "0x10:0x0000000C");
    }
    EXPECT_EQ(root.read(kFullAccess), std::string("0", 2)) << "full access ends switched off";
    EXPECT_EQ(root.read(kUnlock), std::string("0", 2)) << "write access ends switched off";
    EXPECT_EQ(fean(), "FEAN:0000PA00000000   00042");
    EXPECT_EQ(setSerial("FEEAN:43"), "NAK: Serial already set");
}

TEST_F(IdentityTest, OtpValueChecks)
{
    root.write(kUnlock, "");
    root.write(kFullAccess, "");
    root.write(kOtpId, "");
    readIdentity();   // no id.bin: both values unreadable
    EXPECT_EQ(setSerial("PEDEU:5"), "NAK: Serial already set") << "nothing is burnt blind";
    EXPECT_EQ(setSerial("FEEAN:5"), "NAK: Serial already set");

    root.write(kOtpBin, otpBytes(0, 0));
    readIdentity();
    EXPECT_EQ(setSerial("XY:5"), "NAK: Wrong arguments, use PEDEU or FEEAN");
    EXPECT_EQ(setSerial("feean:5"), "NAK: Wrong arguments, use PEDEU or FEEAN");
    EXPECT_EQ(setSerial("FEEAN:5z"), "NAK: Wrong number format in argument");
    // Nothing, or 0, would lock the pair unburnt.
    EXPECT_EQ(setSerial("FEEAN:"), "NAK: Argument missing, expected serial number");
    EXPECT_EQ(setSerial("FEEAN:0"), "NAK: Error writing serial to OTP");
    // What would not read back as itself, or not fit the serial answer.
    for (const char *sign : {"FEEAN:-1", "PEDEU:-1", "FEEAN:+5", "PEDEU: -5", "PEDEU:-0x1"})
        EXPECT_EQ(setSerial(sign), "NAK: Wrong number format in argument") << sign;
    for (const char *big : {"PEDEU:18446744073709551615", "FEEAN:18446744073709551615", "PEDEU:0xFFFFFFFFFFFFFFFF",
                            "FEEAN:100000000000000000", "FEEAN:0x8000000000000000"})
        EXPECT_EQ(setSerial(big), "NAK: Serial too big") << big;
    EXPECT_EQ(root.read(kOtpId), "");
    EXPECT_EQ(root.read(kUnlock), "") << "the driver is not touched";
    EXPECT_EQ(root.read(kFullAccess), "");

    // Value A is shown whole: a wide value is burnt. Here the words do not
    // read back as written: no lock, write access off.
    EXPECT_EQ(setSerial("PEDEU:0x123456789"), "NAK: Error writing serial to OTP");
    EXPECT_EQ(root.read(kOtpId), "0:0x23456789,1:0x00000001");
    EXPECT_EQ(root.read(kUnlock), std::string("0", 2));
    EXPECT_EQ(identityCache.otpValueA, 0u);

    // Another value already on the device, uncached: refused untouched.
    root.write(kOtpId, "");
    root.write(kUnlock, "");
    root.write(kOtpBin, otpBytes(0x123456789ull, 0));
    EXPECT_EQ(setSerial("PEDEU:0x12345678A"), "NAK: Serial already set");
    EXPECT_EQ(root.read(kOtpId), "");
    EXPECT_EQ(root.read(kUnlock), "");

    // The same value, but the lock word cannot be opened: the value is
    // there (ACK) but stays uncached, so a later attempt can lock it.
    std::filesystem::remove(root.at(kFullAccess));
    EXPECT_EQ(setSerial("PEDEU:0x123456789"), "ACK");
    EXPECT_EQ(root.read(kOtpId), "") << "no bit burnt again";
    EXPECT_EQ(root.read(kUnlock), std::string("0", 2));
    EXPECT_EQ(identityCache.otpValueA, 0u);
    EXPECT_TRUE(log.hasText(3, "enableOTPFullAccess", "No such file or directory\n"));

    // Decimal with padding zeros, as for the appliance serial.
    root.write(kFullAccess, "");
    root.write(kOtpBin, otpBytes(0, 17));
    std::filesystem::remove(root.at(kOtpId));
    DriverFile id(root, kOtpId);
    EXPECT_EQ(setSerial("FEEAN:00000000000000017"), "ACK");
    EXPECT_EQ(id.stop(), "0x10:0x0000000C");
    EXPECT_EQ(identityCache.otpValueB, 17u);
}

} // namespace
