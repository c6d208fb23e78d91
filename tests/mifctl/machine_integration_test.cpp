// mifctl against the real daemon with machine control played by the test:
// the time bound a service key meets on the operational data and the
// events, the state log decoded from what machine control and the input
// devices report, and the identity numbers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/input.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "mifctl_process.h"
#include "requests/request_codes.h"
#include "session/command_list.h"
#include "support/daemon_harness.h"
#include "support/identity_replies.h"
#include "support/mcl_peer.h"

using nlohmann::json;

namespace {

// Machine control's clock in every test: 2 h 46 min 40 s since it started.
// A service client then sees the logs from 4,000,000 ms on.
const uint64_t kMachineTimeMs = 10000000;
const char *const kMachineTimeText = "T+2:46:40.000";
const char *const kTechBox = "/mnt/rwfs/data/tech_box/";

class MifctlMachineTest : public ::testing::Test {
protected:
    TempRoot root;
    IpcPeer mcl;
    Daemon daemon;

    void SetUp() override
    {
        ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
        mcl.setReply(RIF_GET_SYS_TIME, 0, bytesOf(kMachineTimeMs));
    }
    void TearDown() override
    {
        daemon.signalAndWait(SIGKILL, 5000);
        mcl.stop();
    }
    std::map<std::string, std::string> env() const { return daemonEnv(daemon.port()); }
};

// A log line as the appliance writes them: the time in hexadecimal.
std::string logLine(uint64_t timeMs, const std::string &text)
{
    char stamp[32];
    snprintf(stamp, sizeof stamp, "0x%016llX;", static_cast<unsigned long long>(timeMs));
    return stamp + text + "\n";
}

TEST_F(MifctlMachineTest, AServiceKeyGetsTheOperationalDataAndEventsOfTheLastHundredMinutes)
{
    // Older lines filling several of the daemon's blocks, one line exactly
    // at the bound, and newer ones.
    std::string older, newer;
    for (uint64_t i = 0; i < 3000; i++)
        older += logLine(1000 + i * 1333, "BB;old " + std::to_string(i));
    older += logLine(3999999, "BB;just before");
    newer = logLine(4000000, "BB;at the bound");
    for (uint64_t i = 0; i < 3000; i++)
        newer += logLine(4000001 + i * 1999, "BB;new " + std::to_string(i));
    root.write(std::string(kTechBox) + "OperationalData.log", older + newer);
    // Events all older than the bound; errors are never cut.
    root.write(std::string(kTechBox) + "Events.log", older);
    root.write(std::string(kTechBox) + "ErrorEvents.log", older);
    // A line time that is no number.
    root.write(std::string(kTechBox) + "Events.log.1", "yesterday;EV;A\n" + newer);
    ASSERT_TRUE(daemon.start(root));
    ScratchDir dir;

    MifctlResult bounded = runMifctl({"-r", "service", "get-log", "bb", "-o", "-"}, env());
    EXPECT_EQ(bounded.exitCode, 0) << bounded.err;
    EXPECT_NE(bounded.err.find("only the lines of the last 100 minutes of OperationalData.log"), std::string::npos)
        << bounded.err;
    EXPECT_TRUE(bounded.out == newer) << bounded.out.size() << " bytes, " << newer.size() << " expected; begins "
                                      << bounded.out.substr(0, 40);
    ASSERT_TRUE(mcl.waitForRequests(RIF_GET_SYS_TIME, 1, 1000)) << "the bound comes from machine control's clock";

    MifctlResult nothing = runMifctl({"-r", "service", "get-log", "events"}, env(), "", dir.path);
    EXPECT_EQ(nothing.exitCode, 1);
    EXPECT_EQ(nothing.err, "NAK: No data to send\n");
    EXPECT_EQ(nothing.out, "");
    EXPECT_FALSE(dir.exists("Events.log"));

    MifctlResult invalid = runMifctl({"-r", "service", "get-log", "events", "--rotated", "1"}, env(), "", dir.path);
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_EQ(invalid.err, MIF_NAK_INVALID_OFFSET "\nNAK: No data to send\n");
    EXPECT_FALSE(dir.exists("Events.log.1"));

    MifctlResult errors = runMifctl({"-r", "service", "get-log", "errors", "-o", "-"}, env());
    EXPECT_EQ(errors.exitCode, 0) << errors.err;
    EXPECT_TRUE(errors.out == older) << "only the operational data and the events are cut";

    // Higher levels get the whole logs.
    MifctlResult whole = runMifctl({"-r", "testlab", "get-log", "bb", "-o", "-"}, env());
    EXPECT_TRUE(whole.out == older + newer) << whole.out.size() << " bytes";
    MifctlResult allEvents = runMifctl({"-r", "testlab", "get-log", "events", "-o", "-"}, env());
    EXPECT_TRUE(allEvents.out == older) << allEvents.out.size() << " bytes";

    // The two answers to a line time that is no number are both taken: in
    // one session, the next command reads its own answer.
    MifctlResult shell = runMifctl({"-r", "service", "shell"}, env(),
                                   "get-log events --rotated 1 -o -\nMCH_CHAP\nget-log bb -o -\n");
    EXPECT_EQ(shell.exitCode, 1) << shell.err;
    EXPECT_NE(shell.err.find(MIF_NAK_INVALID_OFFSET "\nNAK: No data to send\n"), std::string::npos)
        << shell.err;
    EXPECT_TRUE(shell.out == "ACK\n" + newer) << shell.out.substr(0, 80);
}

// ---------------------------------------------------------------- state

// Little-endian fields into an event payload.
template <typename T> void put(Bytes &payload, size_t offset, T value)
{
    Bytes bytes = bytesOf(value);
    std::copy(bytes.begin(), bytes.end(), payload.begin() + long(offset));
}

Bytes timed(size_t size, uint64_t timeMs)
{
    Bytes payload(size, 0);
    put(payload, 0, timeMs);
    return payload;
}

Bytes remoteEvent(uint64_t timeMs, uint8_t code, uint16_t value)
{
    Bytes payload = timed(16, timeMs);
    payload[10] = code;
    put(payload, 12, value);
    return payload;
}

bool feed(int fd, unsigned microseconds, uint16_t type, uint16_t code, int32_t value)
{
    input_event event{};
    event.time.tv_usec = long(microseconds);
    event.type = type;
    event.code = code;
    event.value = value;
    return write(fd, &event, sizeof event) == ssize_t(sizeof event);
}

// One decoded record as mifctl prints it: the fields of its code by name,
// its time as machine-control time and the readable summary. (The units
// and the raw text are left out of the comparison.)
json record(uint64_t timeMs, const char *time, const char *code, const char *label, json fields, const char *text)
{
    return {{"time_ms", timeMs}, {"time", time}, {"code", code}, {"label", label}, {"fields", fields}, {"text", text}};
}

// A motor value: each code has a meaning and a unit of its own.
json motor(uint64_t timeMs, const char *time, const char *code, json value, const std::string &text)
{
    static const struct {
        const char *code, *label, *name;
    } kMotor[] = {{"BT", "bowl temperature", "bowl_temperature_c"}, {"MT", "motor temperature", "motor_temperature_c"},
                  {"MS", "motor speed", "motor_speed_rpm"},        {"MC", "motor current", "motor_current_ma"},
                  {"HT", "heater", "heater"},                      {"FT", "motor temp. fine", "motor_temperature_tenths_c"},
                  {"TS", "motor run time", "motor_running_s"},     {"TC", "motor torque", "torque_mnm"},
                  {"MA", "motor angle", "motor_angle_deg"}};
    for (const auto &row : kMotor)
        if (strcmp(row.code, code) == 0)
            return record(timeMs, time, code, row.label, {{row.name, value}}, text.c_str());
    ADD_FAILURE() << "no motor code " << code;
    return json();
}

TEST_F(MifctlMachineTest, StateJsonDecodesEveryRecordCode)
{
    std::filesystem::create_directories(root.at("/dev/input"));
    ASSERT_EQ(mkfifo(root.at("/dev/input/event0").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(root.at("/dev/input/event1").c_str(), 0600), 0);
    // The two motor values the daemon asks for with the primary motor data.
    mcl.setReply(RIF_GET_MOTOR_VALUE_FT, 0, bytesOf(int16_t(-12)));
    mcl.setReply(RIF_GET_MOTOR_VALUE_TS, 0, bytesOf(int32_t(123456)));
    ASSERT_TRUE(daemon.start(root));

    // Events published before the daemon's subscription is connected are
    // lost: a temperature of 1 goes out until the state log shows it. Its
    // late copies are left out below.
    {
        Client probe;
        ASSERT_TRUE(probe.connect(daemon.port()));
        ASSERT_EQ(probe.authenticate("testlab"), "ACK");
        bool seen = false;
        ASSERT_TRUE(mcl.publishUntil(MCL_TOPIC_0, MCL_EV_CURRENT_TEMPERATURE, bytesOf(uint32_t(1)),
                                     [&] {
                                         seen = seen || probe.call(MCH_GET_STATE, nullptr).find(":DT:1;") !=
                                                            std::string::npos;
                                         return seen;
                                     },
                                     5000));
    }

    std::vector<json> expected;
    // Values machine control reports to the GUI, stamped with its clock.
    mcl.publish(MCL_TOPIC_0, MCL_EV_CURRENT_TEMPERATURE, bytesOf(uint32_t(77)));
    expected.push_back(record(kMachineTimeMs, kMachineTimeText, "DT", "temperature", {{"temperature", 77}}, "77"));
    mcl.publish(MCL_TOPIC_0, MCL_EV_SPEED_CHANGED, bytesOf(int32_t(55)));
    expected.push_back(record(kMachineTimeMs, kMachineTimeText, "GS", "GUI speed", {{"speed_tenths", 55}}, "5.5"));
    Bytes timer(8, 0);   // minutes, seconds
    put(timer, 0, uint32_t(2));
    put(timer, 4, uint32_t(5));
    mcl.publish(MCL_TOPIC_1, MCL_EV_TIME_CHANGED, timer);
    expected.push_back(record(kMachineTimeMs, kMachineTimeText, "TI", "timer", {{"seconds", 125}}, "125 s (2:05)"));

    // Lid, bowl and transport lock, each at a time of its own.
    const struct {
        uint8_t code;
        const char *part, *state, *text, *time;
    } kLockEvents[] = {
        {RE_BOWL_OPEN, "BOWL", "OPEN", "bowl open", "T+1:00:00.000"},
        {RE_BOWL_CLOSE, "BOWL", "CLOSE", "bowl closed", "T+1:00:01.000"},
        {RE_TRANSPORT_ON, "TRANSP", "ON", "transport lock on", "T+1:00:02.000"},
        {RE_TRANSPORT_OFF, "TRANSP", "OFF", "transport lock off", "T+1:00:03.000"},
        {RE_LEFT_CLOSE, "LEFT", "CLOSE", "left lid lock closed", "T+1:00:04.000"},
        {RE_RIGHT_CLOSE, "RIGHT", "CLOSE", "right lid lock closed", "T+1:00:05.000"},
        {RE_LID_CLOSE, "LID", "CLOSE", "lid closed", "T+1:00:06.000"},
        {RE_LEFT_OPEN, "LEFT", "OPEN", "left lid lock open", "T+1:00:07.000"},
        {RE_RIGHT_OPEN, "RIGHT", "OPEN", "right lid lock open", "T+1:00:08.000"},
        {RE_LID_OPEN, "LID", "OPEN", "lid open", "T+1:00:09.000"},
    };
    uint64_t lockTime = 3600000;
    for (const auto &row : kLockEvents) {
        mcl.publish(MCL_TOPIC_1, MCL_EV_REMOTE_EVENT, remoteEvent(lockTime, row.code, 0));
        expected.push_back(record(lockTime, row.time, "LL", "lid and bowl", {{"part", row.part}, {"state", row.state}},
                                  row.text));
        lockTime += 1000;
    }
    mcl.publish(MCL_TOPIC_1, MCL_EV_REMOTE_EVENT, remoteEvent(3725042, 7, 513));
    expected.push_back(record(3725042, "T+1:02:05.042", "EV", "machine event", {{"event", 7}, {"value", 513}},
                              "event 7, value 513"));

    // An error event with the extremes of its signed and unsigned fields.
    Bytes error = timed(28, 5000000);
    error[10] = 3;
    error[11] = 250;
    put(error, 12, int16_t(-5));
    put(error, 14, int16_t(300));
    put(error, 16, int16_t(-32768));
    put(error, 18, int16_t(32767));
    put(error, 20, uint16_t(65535));
    put(error, 22, uint16_t(0));
    put(error, 24, uint16_t(1234));
    put(error, 26, uint16_t(42));
    mcl.publish(MCL_TOPIC_0, MCL_EV_ERROR_EVENT, error);
    expected.push_back(record(5000000, "T+1:23:20.000", "ER", "machine error",
                              {{"error_code", 3},
                               {"raised", 250},
                               {"motor_temperature_c", -5},
                               {"bowl_temperature_c", 300},
                               {"motor_speed_rpm", -32768},
                               {"motor_current_ma", 32767},
                               {"operating_hours", 65535},
                               {"error_count", 0},
                               {"supply_voltage_v", 1234},
                               {"reserved", 42}},
                              "3,250,-5,300,-32768,32767,65535,0,1234,42"));

    // Motor data: one entry of seven records, one of four.
    Bytes primary = timed(20, 7200001);
    put(primary, 10, int16_t(-40));
    put(primary, 12, int16_t(85));
    put(primary, 14, int16_t(-1200));
    put(primary, 16, uint16_t(50000));
    primary[18] = 1;
    mcl.publish(MCL_TOPIC_0, MCL_EV_PRIMARY_MOTOR_DATA, primary);
    const char *primaryTime = "T+2:00:00.001";
    const std::vector<json> primaryRecords = {
        motor(7200001, primaryTime, "BT", -40, "-40 °C"),   motor(7200001, primaryTime, "MT", 85, "85 °C"),
        motor(7200001, primaryTime, "MS", -1200, "-1200 rpm"), motor(7200001, primaryTime, "MC", 50000, "50000 mA"),
        motor(7200001, primaryTime, "HT", "ON", "on"),   motor(7200001, primaryTime, "FT", -12, "-1.2 °C"),
        motor(7200001, primaryTime, "TS", 123456, "123456 s (34:17:36)"),
    };
    Bytes secondary = timed(18, 7260002);
    put(secondary, 10, uint16_t(4000));
    put(secondary, 12, uint16_t(61000));
    put(secondary, 14, int16_t(-700));
    put(secondary, 16, int16_t(250));
    mcl.publish(MCL_TOPIC_1, MCL_EV_SECONDARY_MOTOR_DATA, secondary);
    const char *secondaryTime = "T+2:01:00.002";
    const std::vector<json> secondaryRecords = {
        motor(7260002, secondaryTime, "MC", 4000, "4000 mA"),
        motor(7260002, secondaryTime, "TC", 61000, "61000 mNm"),
        motor(7260002, secondaryTime, "MS", -700, "-700 rpm"),
        motor(7260002, secondaryTime, "MA", 250, "250°"),
    };
    expected.insert(expected.end(), primaryRecords.begin(), primaryRecords.end());
    expected.insert(expected.end(), secondaryRecords.begin(), secondaryRecords.end());

    // Test-mode commands, one the daemon knows by name and one it does not.
    Bytes known(4, 0), unknown(4, 0);
    known[0] = 33;
    put(known, 2, uint16_t(0xBEEF));
    unknown[0] = 200;
    put(unknown, 2, uint16_t(1));
    mcl.publish(MCL_TOPIC_0, MCL_EV_TEST_MODE_DATA, known);
    mcl.publish(MCL_TOPIC_0, MCL_EV_TEST_MODE_DATA, unknown);
    expected.push_back(record(kMachineTimeMs, kMachineTimeText, "TR", "test command",
                              {{"name", "READ_TEMP_SRM"}, {"command", 0x21}, {"data", 0xBEEF}},
                              "READ_TEMP_SRM (0x21), data 0xBEEF"));
    expected.push_back(record(kMachineTimeMs, kMachineTimeText, "TR", "test command",
                              {{"name", "INVALID_MCTEST_COMMAND[200]"}, {"command", 200}, {"data", 1}},
                              "INVALID_MCTEST_COMMAND[200] (0xC8), data 0x0001"));

    // Heating control, after more than a day of machine time.
    Bytes heating = timed(11, 90061001);
    put(heating, 8, uint16_t(450));
    heating[10] = 0;
    mcl.publish(MCL_TOPIC_1, MCL_EV_HEATING_CONTROL, heating);
    expected.push_back(
        record(90061001, "T+1d 01:01:01.001", "HC", "heating control", {{"value", 450}, {"state", "OFF"}}, "OFF, value 450"));

    // Touch and knob: the daemon's whole seconds with the input event's own
    // milliseconds.
    int touch = openInputFeeder(root.at("/dev/input/event0"));
    int knob = openInputFeeder(root.at("/dev/input/event1"));
    ASSERT_GE(touch, 0);
    ASSERT_GE(knob, 0);
    EXPECT_TRUE(feed(touch, 250000, EV_SYN, SYN_REPORT, 0));   // before any position
    EXPECT_TRUE(feed(touch, 250000, EV_ABS, ABS_MT_POSITION_X, 100));
    EXPECT_TRUE(feed(touch, 250000, EV_ABS, ABS_MT_POSITION_Y, 200));
    EXPECT_TRUE(feed(touch, 250000, EV_SYN, SYN_REPORT, 0));
    EXPECT_TRUE(feed(knob, 500000, EV_KEY, KEY_STOP, 1));
    EXPECT_TRUE(feed(knob, 500000, EV_KEY, KEY_STOP, 0));     // a release is not logged
    EXPECT_TRUE(feed(knob, 500000, EV_KEY, KEY_POWER, 1));
    EXPECT_TRUE(feed(knob, 500000, EV_KEY, KEY_POWER, 0));
    EXPECT_TRUE(feed(knob, 500000, EV_REL, REL_X, -3));
    EXPECT_TRUE(feed(knob, 500000, EV_REL, REL_X, 1));
    close(touch);
    close(knob);
    const char *touchTime = "T+2:46:40.250", *knobTime = "T+2:46:40.500";
    expected.push_back(record(10000250, touchTime, "TE", "touch", {{"x", 65535}, {"y", 65535}}, "no position yet"));
    expected.push_back(record(10000250, touchTime, "TE", "touch", {{"x", 100}, {"y", 200}}, "at 100,200"));
    expected.push_back(record(10000500, knobTime, "PE", "knob push", {{"push", "PUSH"}}, "short push"));
    expected.push_back(record(10000500, knobTime, "PE", "knob push", {{"push", "LONG_PUSH"}}, "long push"));
    expected.push_back(record(10000500, knobTime, "RE", "knob turn", {{"steps", -3}}, "-3 steps"));
    expected.push_back(record(10000500, knobTime, "RE", "knob turn", {{"steps", 1}}, "+1 step"));

    // Each fetch empties the log: collect until everything has come.
    std::vector<json> seen;
    for (int i = 0; i < 100 && seen.size() < expected.size(); i++) {
        MifctlResult state = runMifctl({"-r", "testlab", "state", "--json"}, env());
        if (state.exitCode == 0 && state.out.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ASSERT_EQ(state.exitCode, 0) << state.err;
        std::istringstream lines(state.out);
        for (std::string line; std::getline(lines, line);) {
            json object = json::parse(line, nullptr, false);
            ASSERT_FALSE(object.is_discarded()) << line;
            if (object.value("code", "") == "DT" && object["fields"].value("temperature", 0) == 1)
                continue;   // a late copy of the probe
            object.erase("units");
            object.erase("raw");
            seen.push_back(object);
        }
    }
    std::string all;
    for (const json &got : seen)
        all += got.dump() + "\n";
    EXPECT_EQ(seen.size(), expected.size()) << all;
    for (const json &want : expected) {
        size_t count = size_t(std::count(seen.begin(), seen.end(), want));
        EXPECT_EQ(count, 1u) << want.dump();
    }
    for (const json &got : seen)
        EXPECT_FALSE(got.contains("error")) << got.dump();

    // The records of one motor-data entry stay together and in order.
    for (const std::vector<json> *entry : {&primaryRecords, &secondaryRecords}) {
        auto first = std::find(seen.begin(), seen.end(), entry->front());
        ASSERT_GE(seen.end() - first, std::ptrdiff_t(entry->size())) << entry->front().dump();
        EXPECT_TRUE(std::equal(entry->begin(), entry->end(), first)) << entry->front().dump();
    }

    // Nothing new: no records and no failure (the daemon's NAK says only that).
    MifctlResult drained = runMifctl({"-r", "testlab", "state", "--json"}, env());
    EXPECT_EQ(drained.exitCode, 0);
    EXPECT_EQ(drained.out + drained.err, "");
}

// ------------------------------------------------------------- identity

TEST_F(MifctlMachineTest, SerialJsonGivesEveryIdentityField)
{
    root.write("/sys/uid/otp/id.bin", otpBytes(0x0102030405060708ull, 12345678901234567ull));
    root.write("/mnt/rwfs/data/system_config/qxsn.dat", "12345678901234560");
    root.write("/mnt/rwfs/data/datpak.ver", "DP 7.2\n");
    root.write("/opt/get_sw_version_into_file.sh",
               "#!/bin/sh\nprintf 'FE V2.14.3\\nbuild 77\\n' > \"$MIF_ROOT/tmp/SW_VERSION\"\n");
    ASSERT_EQ(chmod(root.at("/opt/get_sw_version_into_file.sh").c_str(), 0755), 0);
    mcl.setReply(RIF_GET_VERSION, 0, versionReply(0x00020E03, 0x00000107, 0xA5000300));
    // All 32 bytes of the backend serial used.
    mcl.setReply(RIF_GET_BACKEND_SERIAL, 0, backendSerialReply("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"));
    ASSERT_TRUE(daemon.start(root));

    MifctlResult serial = runMifctl({"-r", "service", "serial", "--json"}, env());
    ASSERT_EQ(serial.exitCode, 0) << serial.err;
    EXPECT_EQ(serial.err, "");
    json fields = json::parse(serial.out, nullptr, false);
    ASSERT_TRUE(fields.is_object()) << serial.out;
    EXPECT_EQ(fields, (json{
                          {"QX", "12345678901234560"},
                          {"FE", "72623859790382856"},   // 0x0102030405060708
                          {"BE", "ABCDEFGHIJKLMN   OPQRSTUVWXYZ012345"},
                          {"SWFE", "V2.14.3"},
                          {"BEHW", "0xA5000300"},
                          {"SWMC", "0x00020E03"},
                          {"SWPC", "0x00000107"},
                          {"RCPK", "DP 7.2"},
                          {"FEAN", "1234PA56789012   34567"},
                      }))
        << serial.out;

    // The labelled form says the same, one field a line.
    MifctlResult text = runMifctl({"-r", "service", "serial"}, env());
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("appliance serial (QX):"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("12345678901234560\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("data package (RCPK):"), std::string::npos) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 9);
}

} // namespace
