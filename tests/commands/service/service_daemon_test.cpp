// The scale and identity commands over the real daemon: start-up loads the
// calibration table and the identity from the root, machine control's
// events reach the scale readings, and the client's level decides who may
// replace a serial.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/stat.h>

#include "requests/request_codes.h"
#include "session/command_list.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

namespace {

// This process is machine control; the other peers are the harness's.
class ServiceDaemonTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl)); }
    void TearDown() override
    {
        daemon.signalAndWait(SIGKILL, 5000);
        mcl.stop();
    }
    // Starts the daemon and connects a client with the role's level.
    void startAs(const char *role)
    {
        ASSERT_TRUE(daemon.start(root));
        ASSERT_TRUE(client.connect(daemon.port()));
        ASSERT_EQ(client.authenticate(role), "ACK");
    }

    TempRoot root;
    IpcPeer mcl;
    Daemon daemon;
    Client client;
};

TEST_F(ServiceDaemonTest, ScaleEventsReachTheWeight)
{
    startAs("service");
    EXPECT_EQ(client.call(MCH_GET_WEIGHT, nullptr), "NAK: Scale sent no data");
    // The AD value is payload word 2; the words before it are not.
    Bytes adEvent(14, 0xFF);
    int32_t ad = 81200;
    memcpy(adEvent.data() + 8, &ad, 4);
    std::string answer;
    // Published until the daemon's subscription is surely connected.
    EXPECT_TRUE(mcl.publishUntil(MCL_TOPIC_0, MCL_EV_SCALE_AD_VALUE, adEvent,
                                 [&] {
                                     mcl.publish(MCL_TOPIC_1, MCL_EV_SCALE_WEIGHT, bytesOf<int32_t>(500));
                                     answer = client.call(MCH_GET_WEIGHT, nullptr);
                                     return answer != "NAK: Scale sent no data";
                                 },
                                 5000));
    EXPECT_EQ(answer, "500,81200");
}

TEST_F(ServiceDaemonTest, CalibrationFromStartUpToMachineControl)
{
    root.write("/mnt/rwfs/data/system_config/scali.dat", "0,1200;");
    startAs("service");
    EXPECT_EQ(client.call(MCH_GET_CALDATA, nullptr), "0,1200;");
    EXPECT_EQ(client.call(MCH_SET_CALDATA, "1000,81200"), "ACK");
    EXPECT_EQ(root.read("/mnt/rwfs/data/system_config/scali.dat"), "0,1200;1000,81200;");
    std::vector<PeerRequest> sent = mcl.requests(RIF_SET_BALANCE_CALIBRATION);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload, (Bytes{1, 0, 0, 0, 0xB0, 0x04, 0, 0, 0x00, 0x35, 0x0C, 0x00}));
    EXPECT_EQ(sent[1].payload, (Bytes{255, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0xBE, 0xBA, 0xFE, 0xCA}));

    // The tare goes through machine control as well.
    mcl.setReply(RIF_GET_BALANCE_TARA, 0, bytesOf<int32_t>(250));
    EXPECT_EQ(client.call(MCH_GET_TARA, nullptr), "250");
    EXPECT_EQ(client.call(MCH_SET_TARA, "-15"), "ACK");
    ASSERT_EQ(mcl.requests(RIF_SET_BALANCE_TARA).size(), 1u);
    EXPECT_EQ(mcl.requests(RIF_SET_BALANCE_TARA)[0].payload, bytesOf<int32_t>(-15));
}

TEST_F(ServiceDaemonTest, IdentityFromStartUpAndWhoMayReplaceTheSerial)
{
    root.write("/mnt/rwfs/data/system_config/qxsn.dat", "12345678901234560");
    std::string otp(16, '\0');
    uint64_t valueB = 12345678901234567ull;
    memcpy(otp.data() + 8, &valueB, 8);
    root.write("/sys/uid/otp/id.bin", otp);
    root.write("/mnt/rwfs/data/datpak.ver", "DP 7");
    root.write("/opt/get_sw_version_into_file.sh", "#!/bin/sh\necho 'FE V2.14.3' > \"$MIF_ROOT/tmp/SW_VERSION\"\n");
    chmod(root.at("/opt/get_sw_version_into_file.sh").c_str(), 0755);
    Bytes versions(36, 0);
    versions[0] = 1;
    versions[4 + 8] = 0x30;   // word 2, the backend hardware
    mcl.setReply(RIF_GET_VERSION, 0, versions);
    Bytes serial(44, 0);
    serial[0] = 1;
    memcpy(serial.data() + 12, "BE0000000000011234", 18);
    mcl.setReply(RIF_GET_BACKEND_SERIAL, 0, serial);

    startAs("service");
    EXPECT_EQ(client.call(MCH_GET_SERIAL, nullptr),
              "QX:12345678901234560,FE:0,BE:BE000000000001   1234,SWFE:V2.14.3,BEHW:0x00000030,SWMC:0x00000000,"
              "SWPC:0x00000000,RCPK:DP 7,FEAN:1234PA56789012   34567");

    EXPECT_EQ(client.call(MCH_SET_SERIAL, "4006381333931"), "NAK: Serial already set");
    Client full;
    ASSERT_TRUE(full.connect(daemon.port()));
    ASSERT_EQ(full.authenticate("testlab"), "ACK");
    EXPECT_EQ(full.call(MCH_SET_SERIAL, "4006381333931"), "ACK");
    EXPECT_EQ(root.read("/mnt/rwfs/data/system_config/qxsn.dat"), "00004006381333931");
    EXPECT_EQ(full.call(MCH_GET_SERIAL, nullptr).substr(0, 21), "QX:4006381333931,FE:0");
}

} // namespace
