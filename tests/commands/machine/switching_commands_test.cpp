// Lid, relays, heating, light and transport against the daemon.
#include "machine_fixture.h"

namespace {

using SwitchingCommandTest = MachineCommandTest;

} // namespace

TEST_F(SwitchingCommandTest, OnOffCommandsSendTheirFlagAndAnswerWithTheirOwnFailure)
{
    struct Case {
        int32_t index;
        const char *on, *off;
        uint32_t code;
        const char *failure;
    } cases[] = {
        {MCH_LOCK_LID, "CLOSE", "OPEN", RIF_HANDLE_BOWL, "NAK: Unsuccesful"},
        {MCH_SWITCH_RELAYS, "CLOSE", "OPEN", RIF_HANDLE_POWER_RELAY, "NAK: Unsuccesful"},
        {MCH_SET_HEATING, "ON", "OFF", RIF_SET_HEATING, "NAK: Unsuccessful"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.on);
        EXPECT_EQ(call(c.index, c.on), "ACK");
        EXPECT_EQ(call(c.index, c.off), "ACK");
        EXPECT_EQ(payloads(c.code), (std::vector<Bytes>{{1}, {0}}));
        const std::string words = std::string(c.on) + " or " + c.off;
        EXPECT_EQ(call(c.index, "LOCK"), "NAK: Wrong arguments, use " + words);
        EXPECT_EQ(call(c.index, nullptr), "NAK: No arguments, use " + words);

        mcl.setReply(c.code, 0, {0});   // machine control refuses
        EXPECT_EQ(call(c.index, c.on), c.failure);
        mcl.setReply(c.code, 3, {1});   // or fails the request
        EXPECT_EQ(call(c.index, c.on), c.failure);
        EXPECT_EQ(payloads(c.code).size(), 4u);
    }
}

TEST_F(SwitchingCommandTest, TemperatureIsPassedThrough)
{
    EXPECT_EQ(call(MCH_SET_TEMP, "-40"), "ACK");
    EXPECT_EQ(call(MCH_SET_TEMP, "0x64"), "ACK");
    EXPECT_EQ(payloads(GUI_SET_TEMPERATURE), (std::vector<Bytes>{bytesOf(int32_t(-40)), bytesOf(int32_t(100))}));
    EXPECT_EQ(call(MCH_SET_TEMP, "2147483648"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_SET_TEMP, nullptr), "NAK: No or insufficient arguments");
    EXPECT_EQ(call(MCH_SET_TEMP, ""), "NAK: No or insufficient arguments") << "an empty argument is not 0";
    EXPECT_EQ(payloads(GUI_SET_TEMPERATURE).size(), 2u);
}

TEST_F(SwitchingCommandTest, AmbientLightTakesGreenFirstAndSendsRedFirst)
{
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "0,100"), "ACK");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "30,70"), "ACK");
    EXPECT_EQ(payloads(RIF_SET_AMBILIGHT_PWM), (std::vector<Bytes>{{100, 0}, {70, 30}}));

    EXPECT_EQ(call(MCH_AMBI_LIGHT, "101,0"), "NAK: Wrong arguments, specify %_green,%_red");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "0,101"), "NAK: Wrong arguments, specify %_green,%_red");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "50"), "NAK: Wrong arguments, specify %_green,%_red");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "x,5"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "5,x"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(MCH_AMBI_LIGHT, nullptr), "NAK: No arguments, specify %_green,%_red");
    EXPECT_EQ(payloads(RIF_SET_AMBILIGHT_PWM).size(), 2u);

    mcl.setReply(RIF_SET_AMBILIGHT_PWM, 0, {0});
    EXPECT_EQ(call(MCH_AMBI_LIGHT, "1,1"), "NAK: Unsuccessful");
}

TEST_F(SwitchingCommandTest, TransportTimeFitsSixteenBits)
{
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "65535"), "ACK");
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "0x10"), "ACK");
    EXPECT_EQ(payloads(RIF_SET_TRANSPORT_TIME), (std::vector<Bytes>{{0xFF, 0xFF}, {16, 0}}));
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "65536"), "NAK: Wrong argument, specify time in ms (max 65535)");
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "-1"), "NAK: Wrong argument, specify time in ms (max 65535)");
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "10ms"), "NAK: Wrong number format in argument");
    EXPECT_EQ(payloads(RIF_SET_TRANSPORT_TIME).size(), 2u);

    mcl.setReply(RIF_SET_TRANSPORT_TIME, 0, {0});
    EXPECT_EQ(call(MCH_MILLIS_TRANSP, "100"), "NAK: Unsuccessful");
}

// The answer follows the bowl state machine control reports after the
// request.
TEST_F(SwitchingCommandTest, TransportAnswersTheReportedBowlState)
{
    struct Case {
        const char *argument;
        uint8_t report;
        const char *answer;
    } cases[] = {
        {"ON", RE_BOWL_CLOSE, "ACK"},
        {"ON", RE_TRANSPORT_ON, "ACK"},
        {"ON", RE_BOWL_OPEN, "NAK: Bowl open, should be closed"},
        {"OFF", RE_TRANSPORT_OFF, "ACK"},
        {"OFF", RE_BOWL_CLOSE, "NAK: Bowl closed, should be open"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.argument) + " " + std::to_string(c.report));
        uint64_t mark = mcl.nextSeq();
        auto answer = callLater(MCH_SET_TRANSP, c.argument);
        const Bytes function = bytesOf(int32_t(c.argument[1] == 'N' ? MOTOR_TRANSPORT : MOTOR_NORMAL));
        ASSERT_NE(awaitRequest(GUI_REQUEST_MOTOR_FUNCTION, mark, &function), 0u);
        publishRemoteEvent(c.report);
        EXPECT_EQ(answerOf(answer), c.answer);
    }
    EXPECT_EQ(call(MCH_SET_TRANSP, "on"), "NAK: Wrong arguments, use ON or OFF");
}

TEST_F(SwitchingCommandTest, RemoteHeatingControlIsAcknowledgedEvenWithoutMachineControl)
{
    EXPECT_EQ(call(MCH_HEAT_CTRL, "ON"), "ACK");
    EXPECT_EQ(call(MCH_HEAT_CTRL, "OFF"), "ACK");
    EXPECT_EQ(payloads(RIF_ACTIVATE_REMOTE_HEATING_CONTROL), (std::vector<Bytes>{{1}, {0}}));
    EXPECT_EQ(call(MCH_HEAT_CTRL, "AN"), "NAK: Wrong arguments, use ON or OFF");

    mcl.stop();   // no one answers: the request channel gives up after its tries
    EXPECT_EQ(callSlow(MCH_HEAT_CTRL, "ON"), "ACK");
}
