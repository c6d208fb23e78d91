#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "monitor/tables.h"

namespace {

TEST(GuiSpeedTableTest, StepsBetweenSpeeds)
{
    EXPECT_EQ(guiSpeedSteps(0, 100), 21) << "from 0 the rows of 1 and 2 are skipped";
    EXPECT_EQ(guiSpeedSteps(0, 50), 11);
    EXPECT_EQ(guiSpeedSteps(0, 3), 1);
    EXPECT_EQ(guiSpeedSteps(50, 45), -1);
    EXPECT_EQ(guiSpeedSteps(100, 50), -10);
    EXPECT_EQ(guiSpeedSteps(3, 100), 20);
    for (int32_t odd : {1, 2, 7, -10, 101}) {
        EXPECT_EQ(guiSpeedSteps(odd, 50), 127) << odd;
        EXPECT_EQ(guiSpeedSteps(50, odd), 127) << odd;
    }
}

TEST(GuiSpeedTableTest, MotorSpeedOfAGuiSpeed)
{
    EXPECT_EQ(guiSpeedToMotorSpeed(95), 8800);
    EXPECT_EQ(guiSpeedToMotorSpeed(100), 10000);
    EXPECT_EQ(guiSpeedToMotorSpeed(0), 0);
    EXPECT_EQ(guiSpeedToMotorSpeed(7), 0xFFFF);
    EXPECT_EQ(guiSpeedToMotorSpeed(-1), 0xFFFF);
    // The knob walks the rows in order, so keys and motor speeds must both
    // fall strictly from row to row.
    for (int row = 1; row < GUI_SPEED_ROWS; row++) {
        EXPECT_LT(GuiSpeedTable[row].key, GuiSpeedTable[row - 1].key) << row;
        EXPECT_LT(GuiSpeedTable[row].value, GuiSpeedTable[row - 1].value) << row;
    }
}

TEST(MachineNameTablesTest, NamesOfCodesAndCodesOfNames)
{
    char buffer[MACHINE_NAME_SIZE];
    EXPECT_STREQ(machineErrorName(22, buffer, sizeof buffer), "enErr_MotorTooHot");
    EXPECT_STREQ(machineErrorName(200, buffer, sizeof buffer), "enErr_Gui");
    EXPECT_STREQ(machineErrorName(enErr_LidSensorBlockedPermanentlyError, buffer, sizeof buffer),
                 "enErr_LidSensorBlockedPermanentlyError");
    for (int32_t gap : {15, 16, 29, 33, 37, -1})
        EXPECT_EQ(std::string(machineErrorName(gap, buffer, sizeof buffer)),
                  "INVALID_ERRORCODE[" + std::to_string(gap) + "]");

    EXPECT_STREQ(mctestCommandName(0x85, buffer, sizeof buffer), "SWITCH_ON_HEATER");
    EXPECT_STREQ(mctestCommandName(170, buffer, sizeof buffer), "CLOSE_BOWL_WITHOUT_AUTO_OPEN");
    EXPECT_STREQ(mctestCommandName(0x99, buffer, sizeof buffer), "INVALID_MCTEST_COMMAND[153]");

    int32_t code = 0;
    EXPECT_TRUE(mctestCommandCode("SWITCH_ON_HEATER", &code));
    EXPECT_EQ(code, 133);
    EXPECT_TRUE(mctestCommandCode("TEST_MODE_ON", &code));
    EXPECT_EQ(code, 5);
    EXPECT_FALSE(mctestCommandCode("switch_on_heater", &code));
    EXPECT_FALSE(mctestCommandCode("SWITCH_ON_HEATER ", &code));
    EXPECT_FALSE(mctestCommandCode("", &code));
    EXPECT_FALSE(mctestCommandCode(nullptr, &code));
}

// The invalid names are formatted into each caller's own buffer: two
// threads naming unknown codes at once cannot overwrite each other's name.
TEST(MachineNameTablesTest, InvalidNamesLiveInTheCallersBuffer)
{
    char errorBuffer[MACHINE_NAME_SIZE];
    char testBuffer[MACHINE_NAME_SIZE];
    const char *error = machineErrorName(99, errorBuffer, sizeof errorBuffer);
    const char *test = mctestCommandName(153, testBuffer, sizeof testBuffer);
    EXPECT_EQ(error, errorBuffer);
    EXPECT_EQ(test, testBuffer);
    EXPECT_STREQ(error, "INVALID_ERRORCODE[99]");
    EXPECT_STREQ(test, "INVALID_MCTEST_COMMAND[153]");
    // The longest invalid names still fit the buffer size callers use.
    EXPECT_STREQ(machineErrorName(INT32_MIN, errorBuffer, sizeof errorBuffer), "INVALID_ERRORCODE[-2147483648]");
    EXPECT_STREQ(mctestCommandName(INT32_MIN, testBuffer, sizeof testBuffer),
                 "INVALID_MCTEST_COMMAND[-2147483648]");
}

TEST(MachineNameTablesTest, CodesAreUniqueAndNamesTerminated)
{
    std::set<int32_t> errorCodes;
    for (const MachineErrorRow &row : enErr) {
        EXPECT_TRUE(errorCodes.insert(row.code).second) << row.code;
        EXPECT_LT(strnlen(row.name, MACHINE_NAME_SIZE), size_t(MACHINE_NAME_SIZE));
        EXPECT_EQ(std::string(row.name).rfind("enErr_", 0), 0u) << row.name;
    }
    std::set<int32_t> testCodes;
    std::set<std::string> testNames;
    for (const MctestRow &row : MctestTable) {
        EXPECT_TRUE(testCodes.insert(row.code).second) << row.code;
        EXPECT_TRUE(testNames.insert(row.name).second) << row.name;
    }
}

} // namespace
