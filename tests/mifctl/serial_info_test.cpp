// Labelling the identity answer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "serial_info.h"

namespace {

const char kAnswer[] = "QX:12345678901234560,FE:18446744073709551615,BE:ABCDEFGHIJKLMN   O123,SWFE:1.2, build 7,"
                       "BEHW:0x00000003,SWMC:0x01020304,SWPC:0x00000000,RCPK:DP-2.1\n,FEAN:1234PA56789012   34567";

TEST(SerialInfo, SplitsTheAnswerByItsKeys)
{
    std::vector<SerialField> fields;
    ASSERT_TRUE(parseSerialAnswer(kAnswer, &fields));
    ASSERT_EQ(fields.size(), 9u);
    EXPECT_EQ(fields[0].key, "QX");
    EXPECT_EQ(fields[0].value, "12345678901234560");
    EXPECT_EQ(fields[2].value, "ABCDEFGHIJKLMN   O123");
    // A version text may hold a comma; it ends only at the next key.
    EXPECT_EQ(fields[3].value, "1.2, build 7");
    EXPECT_EQ(fields[5].value, "0x01020304");
    EXPECT_EQ(fields[7].value, "DP-2.1");  // the file's line end is not part of it
    EXPECT_EQ(fields[8].value, "1234PA56789012   34567");

    nlohmann::json object = nlohmann::json::parse(serialFieldsJson(fields));
    EXPECT_EQ(object["QX"], "12345678901234560");  // strings: JSON numbers lose such digits
    EXPECT_EQ(object["SWFE"], "1.2, build 7");
    EXPECT_EQ(object.size(), 9u);

    std::string text = serialFieldsText(fields);
    EXPECT_NE(text.find("appliance serial (QX):"), std::string::npos);
    EXPECT_NE(text.find("OTP value B (FEAN):"), std::string::npos);
}

TEST(SerialInfo, RefusesOtherTextsAndMarksAnUnsetSerial)
{
    std::vector<SerialField> fields;
    EXPECT_FALSE(parseSerialAnswer("NAK: Unsuccessful", &fields));
    EXPECT_FALSE(parseSerialAnswer("QX:1,FE:2,BE:x", &fields));
    ASSERT_TRUE(parseSerialAnswer("QX:0,FE:0,BE:,SWFE:,BEHW:0x00000000,SWMC:0x00000000,SWPC:0x00000000,RCPK:,"
                                  "FEAN:0000PA00000000   00000",
                                  &fields));
    std::string text = serialFieldsText(fields);
    EXPECT_NE(text.find("0 (not set)"), std::string::npos);
    EXPECT_NE(text.find("(none)"), std::string::npos);
}

} // namespace
