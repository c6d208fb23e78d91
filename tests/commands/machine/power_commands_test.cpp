// Permanent errors, power-down, reset, the error pop-up, test mode and the
// GUI-less mode against the daemon.
#include "machine_fixture.h"

#include <sstream>

namespace {

using PowerCommandTest = MachineCommandTest;

const char *const kRelayFlag = "/mnt/rwfs/data/system_config/permanent_error.dat";
const char *const kCoverFlag = "/mnt/rwfs/data/system_config/permanent_error_150.dat";

} // namespace

TEST_F(PowerCommandTest, PermanentErrorsAreResetOrReported)
{
    EXPECT_EQ(call(MCH_FA_OK, nullptr), "ACK");
    EXPECT_EQ(call(MCH_FA_OK, "72"), "ACK");
    EXPECT_EQ(call(MCH_FA_OK, "150"), "ACK");
    EXPECT_EQ(payloads(RIF_RESET_POWER_RELAY_LOCK).size(), 2u) << "no argument resets error 72";
    EXPECT_EQ(payloads(RIF_RESET_COVER_SWITCH_LOCK).size(), 1u);
    EXPECT_EQ(call(MCH_FA_OK, "73"),
              "NAK: Wrong arguments, specify error code to reset (no argument will reset error 72 for "
              "compatibility reasons) or \"STATUS\" to query its status!");

    EXPECT_EQ(call(MCH_FA_OK, "STATUS"), "NOTSET");
    root.write(kCoverFlag, "");
    EXPECT_EQ(call(MCH_FA_OK, "STATUS"), "150");
    root.write(kRelayFlag, "");
    EXPECT_EQ(call(MCH_FA_OK, "STATUS"), "72;150");
    ASSERT_EQ(unlink(root.at(kCoverFlag).c_str()), 0);
    EXPECT_EQ(call(MCH_FA_OK, "STATUS"), "72");
    EXPECT_EQ(payloads(RIF_RESET_POWER_RELAY_LOCK).size() + payloads(RIF_RESET_COVER_SWITCH_LOCK).size(), 3u)
        << "a status query and a wrong argument send nothing";

    mcl.setReply(RIF_RESET_COVER_SWITCH_LOCK, 0, {0});
    EXPECT_EQ(call(MCH_FA_OK, "150"), "NAK: Unsuccessful");
}

TEST_F(PowerCommandTest, PowerDownDelayAndReset)
{
    EXPECT_EQ(call(MCH_PWRDOWN, "0x1F4"), "ACK");
    EXPECT_EQ(payloads(RIF_POWER_OFF), (std::vector<Bytes>{{0xF4, 0x01}}));
    EXPECT_EQ(call(MCH_PWRDOWN, "65536"), "NAK: Wrong argument, specify time in ms (max 65535)");
    EXPECT_EQ(call(MCH_PWRDOWN, "soon"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_PWRDOWN, nullptr), "NAK: No or insufficient arguments");
    EXPECT_EQ(payloads(RIF_POWER_OFF).size(), 1u);
    mcl.setReply(RIF_POWER_OFF, 0, {0});
    EXPECT_EQ(call(MCH_PWRDOWN, "0"), "NAK: Unsuccessful");

    EXPECT_EQ(call(MCH_RESET_MC, "ignored"), "ACK");
    EXPECT_EQ(payloads(RIF_RESET_MC).size(), 1u);
    mcl.setReply(RIF_RESET_MC, 1);
    EXPECT_EQ(call(MCH_RESET_MC, nullptr), "NAK: Unsuccessful");
}

TEST_F(PowerCommandTest, TestCommandsByNumberOrExactName)
{
    EXPECT_EQ(call(MCH_MCTEST_CMD, "SWITCH_ON_HEATER"), "ACK");
    EXPECT_EQ(call(MCH_MCTEST_CMD, "133"), "ACK");
    EXPECT_EQ(call(MCH_MCTEST_CMD, "-1"), "ACK");
    EXPECT_EQ(call(MCH_MCTEST_CMD, "CLOSE_BOWL_WITHOUT_AUTO_OPEN"), "ACK");
    const char *const wrong = "NAK: Wrong argument, specify command code or command name!";
    EXPECT_EQ(call(MCH_MCTEST_CMD, "switch_on_heater"), wrong);
    EXPECT_EQ(call(MCH_MCTEST_CMD, "SWITCH_ON_HEATER "), wrong);
    EXPECT_EQ(call(MCH_MCTEST_CMD, nullptr), wrong);
    EXPECT_EQ(call(MCH_MCTEST_CMD, ""), wrong);
    EXPECT_EQ(payloads(RIF_SEND_TEST_MODE_COMMAND),
              (std::vector<Bytes>{bytesOf(int32_t(133)), bytesOf(int32_t(133)), bytesOf(int32_t(-1)),
                                  bytesOf(int32_t(170))}));

    mcl.setReply(RIF_SEND_TEST_MODE_COMMAND, 0, {0});
    EXPECT_EQ(call(MCH_MCTEST_CMD, "5"), "ACK") << "results come as events";
}

TEST_F(PowerCommandTest, PopupAcknowledgementPassesListedErrorsAndLeavesThemPending)
{
    publishError(5);
    ASSERT_TRUE(eventBarrier());
    EXPECT_EQ(call(MCH_RECOVR_ERRSTAT, nullptr), "ACK");
    publishError(22);
    ASSERT_TRUE(eventBarrier());
    EXPECT_EQ(call(MCH_RECOVR_ERRSTAT, nullptr), "ACK");
    EXPECT_EQ(payloads(GUI_POPUP_ACKNOWLEDGED), (std::vector<Bytes>{bytesOf(int32_t(0)), bytesOf(int32_t(22))}));

    // A motor command that waits still sees the error.
    uint64_t mark = mcl.nextSeq();
    auto answer = callLater(MCH_SET_SPEED, "5.0");
    ASSERT_NE(awaitRequest(GUI_REQUEST_ROTARY_MODE, mark), 0u);
    publishInt(MCL_EV_SPEED_STATUS, 1);
    EXPECT_EQ(answerOf(answer), "NAK: Machine reported error enErr_MotorTooHot");
}

// The network daemon is played by the harness's peer process (with the
// supervisor and the logger); it records the requests it receives.
TEST_F(PowerCommandTest, NoGuiSwitchGoesToTheNetworkDaemon)
{
    // Machine control would refuse it: an ACK cannot come from there.
    mcl.setReply(NETLINK_NO_GUI_SWITCH, 1);
    uint64_t mark = mcl.nextSeq();
    EXPECT_EQ(call(MCH_NO_GUI_SWITCH, nullptr), "ACK");
    EXPECT_TRUE(payloads(NETLINK_NO_GUI_SWITCH, mark).empty()) << "not sent to machine control";
    const std::string received = "/run/SvDaemon.requests";
    auto requestsOfCode = [&] {
        std::istringstream lines(root.exists(received) ? root.read(received) : "");
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(std::to_string(NETLINK_NO_GUI_SWITCH) + " ", 0) == 0)
                found.push_back(line);
        return found;
    };
    EXPECT_TRUE(mcl.waitFor([&] { return !requestsOfCode().empty(); }, 5000));
    EXPECT_EQ(requestsOfCode(), (std::vector<std::string>{std::to_string(NETLINK_NO_GUI_SWITCH) + " 0"}))
        << "one request, no payload";
}
