// Machine control over the messaging library: the answers to the daemon's
// request codes and the GUI's, with their reply layouts, and the events
// the machine publishes in answer, as the daemon decodes them.
#include "sim_test_util.h"

#include <sys/stat.h>

#include "requests/request_codes.h"

namespace {

EventLog gEvents;

void onEvent(const void *msg, const void *payload, uint8_t len) { gEvents.add(msg, payload, len); }

class MclTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gEvents.clear();
        setenv("MIF_ROOT", root_.path().c_str(), 1);
        ASSERT_TRUE(mcl_.start(root_, {"mcl"}));
        ASSERT_EQ(IPC_Init(MIF_PROCESS_ID, MIF_PROCESS_NAME), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester(MCL_PROCESS_NAME, REPLY_TIMEOUT_MS), IPC_OK);
        ASSERT_EQ(IPC_Subscribe(MCL_PROCESS_NAME, MCL_TOPIC_0, onEvent), IPC_OK);
        ASSERT_EQ(IPC_Subscribe(MCL_PROCESS_NAME, MCL_TOPIC_1, onEvent), IPC_OK);
        ASSERT_TRUE(eventually([] { return ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME).ok(); }, 5000)) << mcl_.output();
        // The subscriptions are connected once an event gets through.
        ASSERT_TRUE(eventually(
            [] {
                ask(MCL_PROCESS_NAME, RIF_REQUEST_SECONDARY_MOTOR_DATA);
                return gEvents.waitFor(MCL_EV_SECONDARY_MOTOR_DATA, nullptr, 200);
            },
            5000));
        gEvents.clear();
    }
    void TearDown() override
    {
        IPC_Deinit();
        EXPECT_EQ(mcl_.stop(), 0) << mcl_.output();
        unsetenv("MIF_ROOT");
    }

    static std::vector<uint8_t> i32(int32_t v) { return bytesOf(v); }
    static std::vector<uint8_t> u8(uint8_t v) { return bytesOf(v); }
    bool exists(const char *appliancePath) { return root_.exists(appliancePath); }

    TempRoot root_;
    SimChild mcl_;
};

TEST_F(MclTest, ReportsTimeVersionsAndIdentityInTheirReplyLayouts)
{
    Answer first = ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME);
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first.payload.size(), 8u);
    EXPECT_GE(first.at<uint64_t>(0), 36000000u);   // a machine that has run for a while
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME).at<uint64_t>(0), first.at<uint64_t>(0));

    Answer version = ask(MCL_PROCESS_NAME, RIF_GET_VERSION);
    ASSERT_TRUE(version.ok());
    ASSERT_GE(version.payload.size(), 36u);   // flag, then 32 version bytes from byte 4
    EXPECT_EQ(version.payload[0], 1);
    EXPECT_NE(version.at<uint32_t>(4), 0u);    // machine-control software
    EXPECT_NE(version.at<uint32_t>(12), 0u);   // backend hardware

    Answer serial = ask(MCL_PROCESS_NAME, RIF_GET_BACKEND_SERIAL, bytesOf(uint16_t(17)));
    ASSERT_TRUE(serial.ok());
    ASSERT_EQ(serial.payload.size(), 12u + 17u);
    EXPECT_EQ(serial.payload[0], 1);
    EXPECT_EQ(std::string(serial.payload.begin() + 12, serial.payload.end()), "40251117000042A17");
    Answer shortSerial = ask(MCL_PROCESS_NAME, RIF_GET_BACKEND_SERIAL, bytesOf(uint16_t(4)));
    EXPECT_EQ(std::string(shortSerial.payload.begin() + 12, shortSerial.payload.end()), "4025");
    Answer article = ask(MCL_PROCESS_NAME, RIF_GET_BACKEND_ARTICLE, bytesOf(uint16_t(32)));
    ASSERT_EQ(article.payload.size(), 44u);
    EXPECT_STREQ(reinterpret_cast<const char *>(article.payload.data() + 12), "MC-SIM-0001-00");

    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_GET_MOTOR_VALUE_FT).payload.size(), 2u);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_GET_MOTOR_VALUE_TS).payload.size(), 4u);
    // Status-only requests are carried out, with the start-up values.
    EXPECT_TRUE(ask(MCL_PROCESS_NAME, RIF_SET_REMOTE_IF_ACTIVE, u8(1)).ok());
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_GET_REMOTE_IF_ACTIVE).payload.at(0), 1);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_WARM_START, u8(1)).payload.at(0), 1);
    EXPECT_TRUE(ask(MCL_PROCESS_NAME, RIF_ACTIVATE_BLACKBOX_LOGGING, u8(0)).ok());
}

TEST_F(MclTest, RefusesUnknownCodesShortPayloadsAndBehavesAsToldToMisbehave)
{
    EXPECT_EQ(ask(MCL_PROCESS_NAME, 11).status, 1u);                 // no such code
    EXPECT_EQ(ask(MCL_PROCESS_NAME, 99).status, 1u);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_SPEED, u8(1)).status, 1u); // eight bytes expected
    EXPECT_EQ(ask(MCL_PROCESS_NAME, GUI_SET_TIME, i32(1)).status, 1u);

    ASSERT_TRUE(mcl_.control("mcl fail"));
    EXPECT_TRUE(eventually([] { return ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME).status == 1; }));
    ASSERT_TRUE(mcl_.control("mcl silent"));
    EXPECT_TRUE(eventually([] { return ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME).rc == IPC_TIMEOUT; }, 5000));
    ASSERT_TRUE(mcl_.control("mcl normal"));
    EXPECT_TRUE(eventually([] { return ask(MCL_PROCESS_NAME, RIF_GET_SYS_TIME).ok(); }, 5000));
}

// The daemon's MCH_SET_SPEED: rotary mode 2, wait for speed status 2, knob
// steps, rotary mode 5.
TEST_F(MclTest, SetsTheSpeedWithTheKnobAsTheDaemonDoes)
{
    ask(MCL_PROCESS_NAME, GUI_REQUEST_ROTARY_MODE, i32(ROTARY_MODE_SET_SPEED));
    SeenEvent status;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_SPEED_STATUS, &status));
    EXPECT_EQ(status.topic, MCL_TOPIC_0);
    EXPECT_EQ(status.payload.size(), 4u);
    EXPECT_EQ(status.at<int32_t>(0), 2);

    // From 0, eleven steps up reach 5.0 (the knob skips 0.1 and 0.2).
    for (int i = 0; i < 11; i++)
        ask(MCL_PROCESS_NAME, GUI_SET_REMOTE_COMMANDS, bytesOf(uint16_t(KNOB_STEP_UP)));
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_SPEED_CHANGED, nullptr, 3000, [](const SeenEvent &e) { return e.at<int32_t>(0) == 50; }));
    std::vector<SeenEvent> speeds = gEvents.all(MCL_EV_SPEED_CHANGED);
    ASSERT_EQ(speeds.size(), 11u);
    EXPECT_EQ(speeds[0].at<int32_t>(0), 3);
    EXPECT_EQ(speeds[1].at<int32_t>(0), 5);
    ask(MCL_PROCESS_NAME, GUI_SET_REMOTE_COMMANDS, bytesOf(uint16_t(KNOB_STEP_DOWN)));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SPEED_CHANGED, nullptr, 3000, [](const SeenEvent &e) { return e.at<int32_t>(0) == 45; }));

    gEvents.clear();
    ask(MCL_PROCESS_NAME, GUI_REQUEST_ROTARY_MODE, i32(ROTARY_MODE_NORMAL));
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_SPEED_STATUS, &status));
    EXPECT_EQ(status.at<int32_t>(0), 0);

    // The running motor reports primary motor data; secondary on request.
    SeenEvent primary;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_PRIMARY_MOTOR_DATA, &primary, 3000,
                                [](const SeenEvent &e) { return e.at<int16_t>(14) > 0; }));
    EXPECT_EQ(primary.topic, MCL_TOPIC_1);
    EXPECT_EQ(primary.payload.size(), 20u);
    EXPECT_GE(primary.at<uint64_t>(0), 36000000u);
    EXPECT_GT(primary.at<uint16_t>(16), 0u);   // current
    ask(MCL_PROCESS_NAME, RIF_REQUEST_SECONDARY_MOTOR_DATA);
    SeenEvent secondary;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_SECONDARY_MOTOR_DATA, &secondary));
    EXPECT_EQ(secondary.payload.size(), 18u);
    EXPECT_GT(secondary.at<int16_t>(14), 0);
    EXPECT_TRUE(ask(MCL_PROCESS_NAME, RIF_GET_PRIMARY_MOTOR_DATA).ok());

    // A running motor keeps the bowl locked; the raw speed form stops it.
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_SPEED, bytesOf(uint8_t(3), uint8_t(0), uint16_t(1), uint16_t(0), uint16_t(0))).payload.at(0), 0);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_SPEED, bytesOf(uint8_t(0), uint8_t(0), uint16_t(0), uint16_t(0), uint16_t(0))).payload.at(0), 1);
}

TEST_F(MclTest, TransportModeLocksTheBowlOnlyWithTheLidClosed)
{
    ask(MCL_PROCESS_NAME, GUI_REQUEST_MOTOR_FUNCTION, i32(MOTOR_TRANSPORT));
    auto code = [](uint8_t c) { return [c](const SeenEvent &e) { return e.at<uint8_t>(10) == c; }; };
    SeenEvent locked;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, &locked, 3000, code(RE_TRANSPORT_ON)));
    EXPECT_EQ(locked.payload.size(), 16u);
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_BOWL_CLOSE)));

    gEvents.clear();
    ask(MCL_PROCESS_NAME, GUI_REQUEST_MOTOR_FUNCTION, i32(MOTOR_NORMAL));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_TRANSPORT_OFF)));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_BOWL_OPEN)));

    ASSERT_TRUE(mcl_.control("lid open"));
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_LID_OPEN)));
    gEvents.clear();
    ask(MCL_PROCESS_NAME, GUI_REQUEST_MOTOR_FUNCTION, i32(MOTOR_TRANSPORT));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_BOWL_OPEN)));
    EXPECT_FALSE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 500, code(RE_TRANSPORT_ON)));
    // Nor does the lid lock close over an open lid.
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_HANDLE_BOWL, u8(1)).payload.at(0), 0);

    ASSERT_TRUE(mcl_.control("lid close"));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_LID_CLOSE)));
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_HANDLE_BOWL, u8(1)).payload.at(0), 1);
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_REMOTE_EVENT, nullptr, 3000, code(RE_BOWL_CLOSE)));
}

TEST_F(MclTest, HeatsAlongACurveAndReportsHeatingControl)
{
    ask(MCL_PROCESS_NAME, GUI_SET_TEMPERATURE, i32(37));
    ASSERT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_HEATING, u8(1)).payload.at(0), 1);
    SeenEvent control;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_HEATING_CONTROL, &control));
    EXPECT_EQ(control.payload.size(), 11u);
    EXPECT_EQ(control.at<uint16_t>(8), 37);
    EXPECT_EQ(control.at<uint8_t>(10), 1);
    SeenEvent warmer;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_CURRENT_TEMPERATURE, &warmer, 5000));
    EXPECT_EQ(warmer.at<int32_t>(0), 23);   // one degree at a time
    // At the target the thermostat switches the heater off.
    ASSERT_TRUE(mcl_.control("temperature 40"));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_HEATING_CONTROL, nullptr, 3000, [](const SeenEvent &e) { return e.at<uint8_t>(10) == 0; }));

    gEvents.clear();
    EXPECT_TRUE(ask(MCL_PROCESS_NAME, RIF_ACTIVATE_REMOTE_HEATING_CONTROL, u8(1)).ok());
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_HEATING_CONTROL, nullptr));
}

TEST_F(MclTest, WeighsTheLoadWithTheCalibrationAndTareItReceived)
{
    ask(MCL_PROCESS_NAME, GUI_ENABLE_BALANCE, u8(0));
    SeenEvent ad;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_SCALE_AD_VALUE, &ad));
    EXPECT_EQ(ad.payload.size(), 14u);
    EXPECT_EQ(ad.at<int32_t>(8), 1200);   // an empty scale

    auto weight = [](int32_t grams) { return [grams](const SeenEvent &e) { return e.at<int32_t>(0) == grams; }; };
    ASSERT_TRUE(mcl_.control("weight 500"));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SCALE_WEIGHT, nullptr, 3000, weight(500)));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SCALE_AD_VALUE, nullptr, 3000, [](const SeenEvent &e) { return e.at<int32_t>(8) == 41200; }));

    // The daemon's segments for 0,1200;2000,81200: half the factory slope,
    // so the same load now weighs twice as much.
    auto segment = [](uint8_t k, uint32_t ad, uint32_t slope) {
        return ask(MCL_PROCESS_NAME, RIF_SET_BALANCE_CALIBRATION,
                   bytesOf(k, uint8_t(0), uint8_t(0), uint8_t(0), ad, slope)).payload.at(0);
    };
    EXPECT_EQ(segment(1, 1200, 400000), 1);
    EXPECT_EQ(segment(255, 0xDEADBEEF, 0xCAFEBABE), 1);
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SCALE_WEIGHT, nullptr, 3000, weight(1000)));
    Answer calibration = ask(MCL_PROCESS_NAME, RIF_GET_BALANCE_CALIBRATION);
    EXPECT_EQ(calibration.at<int32_t>(0), 1);
    EXPECT_EQ(calibration.at<int32_t>(4), 1200);
    // Segments out of order, and an end marker with nothing before it, fail.
    EXPECT_EQ(segment(2, 1200, 400000), 0);
    EXPECT_EQ(segment(255, 0xDEADBEEF, 0xCAFEBABE), 0);

    EXPECT_TRUE(ask(MCL_PROCESS_NAME, RIF_SET_BALANCE_TARA, i32(100)).ok());
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_GET_BALANCE_TARA).at<int32_t>(0), 100);
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SCALE_WEIGHT, nullptr, 3000, weight(900)));
    ask(MCL_PROCESS_NAME, GUI_RESET_BALANCE, u8(0));
    EXPECT_TRUE(gEvents.waitFor(MCL_EV_SCALE_WEIGHT, nullptr, 3000, weight(0)));

    ask(MCL_PROCESS_NAME, GUI_DISABLE_BALANCE, u8(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gEvents.clear();
    ASSERT_TRUE(mcl_.control("weight 200"));
    EXPECT_FALSE(gEvents.waitFor(MCL_EV_SCALE_WEIGHT, nullptr, 1500));
}

TEST_F(MclTest, RaisesErrorsKeepsPermanentOnesInFlagFilesAndResetsThem)
{
    ASSERT_TRUE(mcl_.control("error 22"));
    SeenEvent error, details;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_ERROR_AND_WARNING, &error));
    EXPECT_EQ(error.payload.size(), 8u);
    EXPECT_EQ(error.at<int32_t>(0), 22);
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_ERROR_EVENT, &details));
    EXPECT_EQ(details.payload.size(), 28u);
    EXPECT_EQ(details.at<uint8_t>(10), 22);
    EXPECT_EQ(details.at<uint8_t>(11), 1);

    gEvents.clear();
    ask(MCL_PROCESS_NAME, GUI_POPUP_ACKNOWLEDGED, i32(22));
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_ERROR_AND_WARNING, &error));
    EXPECT_EQ(error.at<int32_t>(0), 0);

    const char *flag150 = "/mnt/rwfs/data/system_config/permanent_error_150.dat";
    const char *flag72 = "/mnt/rwfs/data/system_config/permanent_error.dat";
    ASSERT_TRUE(mcl_.control("error 150"));
    ASSERT_TRUE(mcl_.control("error 72"));
    EXPECT_TRUE(eventually([&] { return exists(flag150) && exists(flag72); }));
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_RESET_COVER_SWITCH_LOCK).payload.at(0), 1);
    EXPECT_TRUE(eventually([&] { return !exists(flag150); }));
    EXPECT_TRUE(exists(flag72));
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_RESET_POWER_RELAY_LOCK).payload.at(0), 1);
    EXPECT_TRUE(eventually([&] { return !exists(flag72); }));
}

TEST_F(MclTest, AnswersTestCommandsWithTheirDataAndTheGuiWithItsEvents)
{
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SEND_TEST_MODE_COMMAND, i32(133)).payload.at(0), 1);
    SeenEvent test;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_TEST_MODE_DATA, &test));
    EXPECT_EQ(test.payload.size(), 4u);
    EXPECT_EQ(test.at<uint8_t>(0), 133);
    EXPECT_EQ(test.at<uint16_t>(2), 1);   // the heater is on
    gEvents.clear();
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SEND_TEST_MODE_COMMAND, i32(153)).payload.at(0), 0);
    EXPECT_FALSE(gEvents.waitFor(MCL_EV_TEST_MODE_DATA, nullptr, 500));

    ask(MCL_PROCESS_NAME, GUI_SET_TIME, bytesOf(int32_t(1), int32_t(30)));
    SeenEvent timer;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_TIME_CHANGED, &timer));
    EXPECT_EQ(timer.at<uint32_t>(0), 1u);
    EXPECT_EQ(timer.at<uint32_t>(4), 30u);
    ask(MCL_PROCESS_NAME, GUI_REQUEST_ROTATION, i32(1));
    SeenEvent direction;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_ROTATION_DIRECTION, &direction));
    EXPECT_EQ(direction.at<int32_t>(0), 1);
    ask(MCL_PROCESS_NAME, GUI_REQUEST_MOTOR_FUNCTION, i32(MOTOR_TURBO));
    SeenEvent mode;
    ASSERT_TRUE(gEvents.waitFor(MCL_EV_MOTOR_MODE, &mode));
    EXPECT_EQ(mode.at<int32_t>(0), MOTOR_TURBO);

    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_AMBILIGHT_PWM, bytesOf(uint8_t(30), uint8_t(70))).payload.at(0), 1);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_AMBILIGHT_PWM, bytesOf(uint8_t(101), uint8_t(0))).payload.at(0), 0);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_SET_TRANSPORT_TIME, bytesOf(uint16_t(1500))).payload.at(0), 1);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_HANDLE_POWER_RELAY, u8(1)).payload.at(0), 1);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_POWER_OFF, bytesOf(uint16_t(500))).payload.at(0), 1);
    EXPECT_EQ(ask(MCL_PROCESS_NAME, RIF_RESET_MC).payload.at(0), 1);
}

}  // namespace
