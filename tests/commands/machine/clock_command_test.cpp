// MCH_SET_TIME_AND_DATE against the daemon. The daemon runs under a test
// root, where setting the clock is only recorded in run/clock; the host's
// clock is never touched.
#include "machine_fixture.h"

#include <sstream>

namespace {

class ClockCommandTest : public MachineCommandTest {
protected:
    ClockCommandTest() { daemonEnv["TZ"] = "UTC"; }

    // The "name value" lines of the record.
    std::map<std::string, std::string> record() const
    {
        std::map<std::string, std::string> fields;
        std::istringstream in(root.read("/run/clock"));
        std::string line;
        while (std::getline(in, line)) {
            size_t space = line.find(' ');
            fields[line.substr(0, space)] = line.substr(space + 1);
        }
        return fields;
    }
};

} // namespace

TEST_F(ClockCommandTest, ValidDatesAreSetAndNormalised)
{
    EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, "01.01.2030-12:00:00"), "ACK");
    EXPECT_EQ(record()["target"], "1893499200");
    EXPECT_EQ(record()["local"], "2030-01-01 12:00:00");

    EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, "31.02.2030-12:00:00"), "ACK");
    EXPECT_EQ(record()["local"], "2030-03-03 12:00:00");
    EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, "31.02.2028-23:59:59"), "ACK");
    EXPECT_EQ(record()["local"], "2028-03-02 23:59:59") << "a leap year";
    // White space before a number and anything after the seconds are
    // ignored, as the appliance's reading of the fields does.
    EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, " 2.01.2030- 7:05:09\nrest"), "ACK");
    EXPECT_EQ(record()["local"], "2030-01-02 07:05:09");
}

TEST_F(ClockCommandTest, InvalidDatesAreRefusedBeforeAnythingIsSet)
{
    for (const char *invalid : {"32.01.2030-12:00:00", "01.13.2030-12:00:00", "01.01.2030-24:00:00",
                                "01.01.2030-12:60:00", "01.01.2030-12:00:60", "00.01.2030-12:00:00",
                                "-1.01.2030-12:00:00", "01.01.1899-12:00:00", "01.01.11900-12:00:00",
                                "01.01.2030", "01.01.2030-12:00", "tomorrow",
                                // Numbers beyond 32 bits do not wrap to a valid field, as
                                // they cannot on the appliance.
                                "4294967297.01.2030-12:00:00", "01.4294967297.2030-12:00:00",
                                "01.01.4294969326-12:00:00", "01.01.2030-4294967308:00:00",
                                "01.01.2030-12:00:18446744073709551617", "01.01.2030-12:-4294967296:00"}) {
        EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, invalid), "NAK: Invalid parameters.\n") << invalid;
    }
    EXPECT_EQ(call(MCH_SET_TIME_AND_DATE, nullptr), "NAK: No arguments, specify time; format: dd.mm.yyyy-hh:mm:ss\n");
    EXPECT_FALSE(root.exists("/run/clock"));
}
