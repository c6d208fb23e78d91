// Decoding the machine-state log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

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
    EXPECT_EQ(findCode(records, "MA")->summary, "MA 4");
}

TEST(StateLog, EveryRecordBecomesOneJsonObject)
{
    for (const StateRecord &r : decodeStateLog(kEveryCode)) {
        nlohmann::json object = nlohmann::json::parse(stateRecordJson(r));
        EXPECT_EQ(object["code"], r.code);
        EXPECT_EQ(object["time_ms"], r.timeMs);
        EXPECT_FALSE(object.contains("error")) << r.raw;
    }
    std::vector<StateRecord> records = decodeStateLog(kEveryCode);
    nlohmann::json touch = nlohmann::json::parse(stateRecordJson(*findCode(records, "TE")));
    EXPECT_EQ(touch["x"], 120);
    EXPECT_EQ(touch["y"], 45);
    nlohmann::json error = nlohmann::json::parse(stateRecordJson(*findCode(records, "ER")));
    ASSERT_TRUE(error["fields"].is_array());
    EXPECT_EQ(error["fields"].size(), 10u);
    EXPECT_EQ(error["fields"][2], -3);
    nlohmann::json lid = nlohmann::json::parse(stateRecordJson(*findCode(records, "LL")));
    EXPECT_EQ(lid["part"], "BOWL");
    EXPECT_EQ(lid["state"], "OPEN");
    EXPECT_EQ(lid["text"], "bowl open");
    nlohmann::json test = nlohmann::json::parse(stateRecordJson(*findCode(records, "TR")));
    EXPECT_EQ(test["command"], 0x85);
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
    }
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
