// Decoding the machine-state log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

#include "state_log.h"
#include "test_env.h"

namespace {

const StateRecord *findCode(const std::vector<StateRecord> &records, const std::string &code, size_t nth = 0)
{
    for (const StateRecord &r : records)
        if (r.code == code && nth-- == 0)
            return &r;
    return nullptr;
}

// One record of every code the daemon writes, concatenated as it sends them.
const char kEveryCode[] =
    "1000:TE:120,45;"
    "1001:PE:PUSH;"
    "1002:PE:LONG_PUSH;"
    "1003:RE:-1;"
    "1004:GS:50;"
    "1005:DT:37;"
    "1006:TI:90;"
    "1007:LL:BOWL,OPEN;1008:LL:TRANSP,ON;1009:LL:LEFT,CLOSE;1010:LL:LID,OPEN;"
    "1011:EV:51,7;"
    "1012:ER:1,2,-3,4,5,6,7,8,9,65535;"
    "1013:TR:SWITCH_ON_HEATER,0x85,0x0001;"
    "1014:HC:12,ON;"
    "1015:BT:25;1015:MT:-4;1015:MS:3000;1015:MC:120;1015:HT:OFF;1015:FT:-1;1015:TS:77;"
    "1016:MC:1;1016:TC:2;1016:MS:-3;1016:MA:4;";

TEST(StateLog, DecodesEveryRecordCode)
{
    std::vector<StateRecord> records = decodeStateLog(std::string(kEveryCode) + '\0');
    ASSERT_EQ(records.size(), 26u);
    for (const StateRecord &r : records)
        EXPECT_TRUE(r.problem.empty()) << r.raw << ": " << r.problem;

    const StateRecord *touch = findCode(records, "TE");
    EXPECT_EQ(touch->timeMs, 1000u);
    EXPECT_EQ(touch->fields[0].number, 120);
    EXPECT_EQ(touch->fields[1].number, 45);
    EXPECT_EQ(touch->summary, "at 120,45");
    EXPECT_EQ(findCode(records, "PE")->summary, "short push");
    EXPECT_EQ(findCode(records, "PE", 1)->summary, "long push");
    EXPECT_EQ(findCode(records, "RE")->fields[0].number, -1);
    EXPECT_EQ(findCode(records, "RE")->summary, "-1 step");
    EXPECT_EQ(findCode(records, "GS")->summary, "5.0");
    EXPECT_EQ(findCode(records, "DT")->fields[0].number, 37);
    EXPECT_EQ(findCode(records, "TI")->summary, "90 s (1:30)");
    EXPECT_EQ(findCode(records, "LL")->summary, "bowl open");
    EXPECT_EQ(findCode(records, "LL", 1)->summary, "transport lock on");
    EXPECT_EQ(findCode(records, "LL", 2)->summary, "left lid lock closed");
    EXPECT_EQ(findCode(records, "LL", 3)->summary, "lid open");
    EXPECT_EQ(findCode(records, "EV")->summary, "event 51, value 7");

    const StateRecord *error = findCode(records, "ER");
    ASSERT_EQ(error->fields.size(), 10u);
    EXPECT_EQ(error->fields[2].number, -3);
    EXPECT_EQ(error->fields[9].number, 65535);

    const StateRecord *test = findCode(records, "TR");
    EXPECT_EQ(test->fields[0].text, "SWITCH_ON_HEATER");
    EXPECT_EQ(test->fields[1].number, 0x85);
    EXPECT_EQ(test->fields[2].number, 1);
    EXPECT_EQ(findCode(records, "HC")->summary, "ON, value 12");

    // The motor data entries: one record per value, MC and MS in both kinds.
    EXPECT_EQ(findCode(records, "MT")->fields[0].number, -4);
    EXPECT_EQ(findCode(records, "HT")->fields[0].text, "OFF");
    EXPECT_EQ(findCode(records, "MC", 1)->timeMs, 1016u);
    EXPECT_EQ(findCode(records, "MS", 1)->fields[0].number, -3);
    EXPECT_EQ(findCode(records, "MA")->summary, "4°");
}

TEST(StateLog, MotorDataSaysWhatEachValueIsAndItsUnit)
{
    std::vector<StateRecord> records = decodeStateLog(kEveryCode);
    const struct {
        const char *code;
        size_t nth;
        const char *label, *name, *summary;
    } kMotor[] = {
        {"BT", 0, "bowl temperature", "bowl_temperature_c", "25 °C"},
        {"MT", 0, "motor temperature", "motor_temperature_c", "-4 °C"},
        {"MS", 0, "motor speed", "motor_speed_rpm", "3000 rpm"},
        {"MC", 0, "motor current", "motor_current_ma", "120 mA"},
        {"HT", 0, "heater", "heater", "off"},
        {"FT", 0, "motor temp. fine", "motor_temperature_tenths_c", "-0.1 °C"},
        {"TS", 0, "motor run time", "motor_running_s", "77 s (0:01:17)"},
        {"MC", 1, "motor current", "motor_current_ma", "1 mA"},
        {"TC", 0, "motor torque", "torque_mnm", "2 mNm"},
        {"MS", 1, "motor speed", "motor_speed_rpm", "-3 rpm"},
        {"MA", 0, "motor angle", "motor_angle_deg", "4°"},
    };
    for (const auto &row : kMotor) {
        const StateRecord *r = findCode(records, row.code, row.nth);
        ASSERT_NE(r, nullptr) << row.code;
        EXPECT_EQ(r->label, row.label) << row.code;
        ASSERT_EQ(r->fields.size(), 1u);
        EXPECT_EQ(r->fields[0].name, row.name) << row.code;
        EXPECT_EQ(r->summary, row.summary) << row.code;
    }
    // No two codes read alike any more.
    std::set<std::string> labels;
    for (const char *code : {"BT", "MT", "MS", "MC", "HT", "FT", "TS", "TC", "MA"})
        labels.insert(findCode(records, code)->label);
    EXPECT_EQ(labels.size(), 9u);
}

TEST(StateLog, ABatchComesSortedByTime)
{
    // Input records carry the daemon's clock, machine records the event's:
    // the log's order is arrival.
    std::vector<StateRecord> records = decodeStateLog("300:RE:1;100:PE:PUSH;garbage;200:TE:1,2;100:GS:50;");
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].code, "PE");
    EXPECT_EQ(records[1].problem, "not a state record");  // stays behind the record before it
    EXPECT_EQ(records[2].code, "GS");                      // equal times keep their order
    EXPECT_EQ(records[3].code, "TE");
    EXPECT_EQ(records[4].code, "RE");
}

TEST(StateLog, EveryRecordBecomesOneJsonObjectOfOneShape)
{
    const std::vector<StateRecord> records = decodeStateLog(kEveryCode);
    nlohmann::json batch = nlohmann::json::parse(stateRecordsToJson(records));
    ASSERT_TRUE(batch.is_array());
    ASSERT_EQ(batch.size(), records.size());
    for (size_t i = 0; i < records.size(); i++) {
        const StateRecord &r = records[i];
        nlohmann::json object = nlohmann::json::parse(stateRecordJson(r));
        EXPECT_EQ(object, batch[i]);
        EXPECT_EQ(object["code"], r.code);
        EXPECT_EQ(object["time_ms"], r.timeMs);
        EXPECT_EQ(object["raw"], r.raw);
        EXPECT_FALSE(object.contains("error")) << r.raw;
        ASSERT_TRUE(object["fields"].is_object()) << r.raw;
        EXPECT_EQ(object["fields"].size(), r.fields.size()) << r.raw;
        for (const StateField &f : r.fields)
            EXPECT_TRUE(object["fields"].contains(f.name)) << r.raw << " " << f.name;
    }
    nlohmann::json touch = nlohmann::json::parse(stateRecordJson(*findCode(records, "TE")));
    EXPECT_EQ(touch["fields"]["x"], 120);
    EXPECT_EQ(touch["fields"]["y"], 45);
    nlohmann::json error = nlohmann::json::parse(stateRecordJson(*findCode(records, "ER")));
    EXPECT_EQ(error["fields"]["error_code"], 1);
    EXPECT_EQ(error["fields"]["motor_temperature_c"], -3);
    EXPECT_EQ(error["fields"]["reserved"], 65535);
    EXPECT_EQ(error["units"]["supply_voltage_v"], "V");
    nlohmann::json lid = nlohmann::json::parse(stateRecordJson(*findCode(records, "LL")));
    EXPECT_EQ(lid["fields"]["part"], "BOWL");
    EXPECT_EQ(lid["fields"]["state"], "OPEN");
    EXPECT_EQ(lid["text"], "bowl open");
    nlohmann::json test = nlohmann::json::parse(stateRecordJson(*findCode(records, "TR")));
    EXPECT_EQ(test["fields"]["command"], 0x85);
    nlohmann::json current = nlohmann::json::parse(stateRecordJson(*findCode(records, "MC")));
    EXPECT_EQ(current["fields"]["motor_current_ma"], 120);
    EXPECT_EQ(current["units"]["motor_current_ma"], "mA");
    EXPECT_EQ(current["text"], "120 mA");
}

TEST(StateLog, KeepsWhatItCannotDecode)
{
    std::vector<StateRecord> records = decodeStateLog("garbage;12:ZZ:1,2;13:TE:1;14:RE:x;15:GS:1");
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].problem, "not a state record");
    EXPECT_EQ(records[1].code, "ZZ");
    EXPECT_NE(records[1].problem.find("unknown code"), std::string::npos);
    EXPECT_NE(records[2].problem.find("expected 2 fields"), std::string::npos);
    EXPECT_NE(records[3].problem.find("bad field"), std::string::npos);
    EXPECT_EQ(records[4].problem, "record not closed by ';'");
    for (const StateRecord &r : records) {
        EXPECT_FALSE(stateRecordLine(r).empty());
        nlohmann::json object = nlohmann::json::parse(stateRecordJson(r));
        EXPECT_EQ(object["raw"], r.raw);
        EXPECT_EQ(object["error"], r.problem);
        EXPECT_EQ(object["fields"].size(), r.fields.size());
    }
    EXPECT_TRUE(nlohmann::json::parse(stateRecordJson(records[0]))["code"].is_null());
    // Bytes that are no UTF-8 are replaced, not fatal.
    std::vector<StateRecord> odd = decodeStateLog("5:PE:\xff\xfe;");
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_NO_THROW(nlohmann::json::parse(stateRecordsToJson(odd)));
    EXPECT_TRUE(decodeStateLog("").empty());
    // Only the text up to its NUL is the log.
    EXPECT_EQ(decodeStateLog(std::string("1:PE:PUSH;\0" "2:PE:PUSH;", 21)).size(), 1u);
}

TEST(StateLog, ShowsTimesReadably)
{
    EXPECT_EQ(formatStateTime(3723456), "T+1:02:03.456");
    EXPECT_EQ(formatStateTime(0), "T+0:00:00.000");
    EXPECT_EQ(formatStateTime(2ULL * 86400000 + 5), "T+2d 00:00:00.005");
    ScopedEnv tz("TZ", "UTC");
    tzset();
    EXPECT_EQ(formatStateTime(1714564800123ULL), "2024-05-01 12:00:00.123");
    std::vector<StateRecord> records = decodeStateLog("1714564800123:RE:3;");
    EXPECT_EQ(stateRecordLine(records[0]), "2024-05-01 12:00:00.123  RE  knob turn       +3 steps");
}

} // namespace
