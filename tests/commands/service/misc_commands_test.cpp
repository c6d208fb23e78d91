// The small service commands.
#include "commands/service/service_commands.h"
#include "service_test_support.h"
#include "session/command_list.h"

namespace {

class MiscCommandsTest : public ServiceCommandTest {};

TEST_F(MiscCommandsTest, BlackBoxRecords)
{
    EXPECT_EQ(call(cmdHandler_SVCSetRepaStart, SVC_SET_REPASTART, "pump replaced"), "ACK");
    EXPECT_EQ(log.records(), std::vector<std::string>{"RS|pump replaced"}) << "exactly one record, the text unchanged";
    EXPECT_EQ(call(cmdHandler_SVCSetRepaEnd, SVC_SET_REPAEND, "done, 2 h"), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHTestEvent, MCH_TEST_EVENT, nullptr), "ACK");
    EXPECT_EQ(log.records(), (std::vector<std::string>{"RS|pump replaced", "RE|done, 2 h", "TE|"}));

    // A payload the client did not end with a NUL is taken up to its end.
    CommandPtr raw(createRawCommand(SVC_SET_REPASTART, 3, "abc", 3));
    CommandPtr answer(cmdHandler_SVCSetRepaStart(raw.get(), -1));
    EXPECT_STREQ(commandText(answer.get()), "ACK");
    EXPECT_EQ(log.records().back(), "RS|abc");
}

TEST_F(MiscCommandsTest, BlackBoxLoggingSwitch)
{
    EXPECT_EQ(call(cmdHandler_MCHEnableBB, MCH_ENABLE_BB, "ON"), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHEnableBB, MCH_ENABLE_BB, "OFF"), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHEnableBB, MCH_ENABLE_BB, "on"), "NAK: Wrong arguments, use ON or OFF");
    EXPECT_EQ(call(cmdHandler_MCHEnableBB, MCH_ENABLE_BB, nullptr), "NAK: No arguments, use ON or OFF");
    mcl.setReply(RIF_ACTIVATE_BLACKBOX_LOGGING, 3);
    EXPECT_EQ(call(cmdHandler_MCHEnableBB, MCH_ENABLE_BB, "ON"), "ACK") << "the request's result is not examined";
    std::vector<Bytes> sent;
    for (const PeerRequest &r : mcl.requests(RIF_ACTIVATE_BLACKBOX_LOGGING))
        sent.push_back(r.payload);
    EXPECT_EQ(sent, (std::vector<Bytes>{{1}, {0}, {1}})) << "refused arguments send nothing";
}

TEST_F(MiscCommandsTest, SmallAnswers)
{
    EXPECT_EQ(call(cmdHandler_MCHSetMcParams, MCH_SET_MCPARAMS, "P1=5"), "NAK: Command not implemented");

    mcl.setReply(RIF_GET_SYS_TIME, 0, bytesOf<uint64_t>(0x123456789AB));   // beyond 32 bits
    EXPECT_EQ(call(cmdHandler_MCHGetSysTime, MCH_GET_SYSTIME, nullptr), "1250999896491");

    testing::internal::CaptureStderr();
    EXPECT_EQ(call(cmdHandler_MCHPrintTxt, MCH_PRINT_TXT, "hello console"), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHPrintTxt, MCH_PRINT_TXT, nullptr), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHPrintTxt, MCH_PRINT_TXT, "two\nlines\r"), "ACK");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "hello console\ntwo lines \n") << "one console line per command";

    CommandPtr request = makeRequest(CMD_ERROR, nullptr);
    EXPECT_EQ(cmdHandler_CmdError(request.get(), -1), nullptr);
}

TEST_F(MiscCommandsTest, SystemTimeWithoutMachineControl)
{
    machineControlAbsent();
    EXPECT_EQ(call(cmdHandler_MCHGetSysTime, MCH_GET_SYSTIME, nullptr), "0");
}

} // namespace
