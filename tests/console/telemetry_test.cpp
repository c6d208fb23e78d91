// The machine panel and chart samples built from state records.
#include <gtest/gtest.h>

#include "telemetry.h"

TEST(ConsoleTelemetry, MotorDataAndTemperaturesFeedPanelAndChart)
{
    Telemetry t;
    applyStateRecords(t, decodeStateLog("1000:BT:22;1000:MT:30;1000:MS:2000;1000:MC:1150;1000:HT:OFF;"
                                        "1000:FT:0;1000:TS:0;1200:DT:77;1300:GS:50;"),
                      50000);
    ChartSample s = takeSample(t, 50500);
    EXPECT_EQ(s.wallMs, 50500);
    EXPECT_EQ(s.motorSpeed, 2000);
    EXPECT_EQ(s.motorCurrent, 1150);
    EXPECT_EQ(s.bowlTemperature, 22);
    EXPECT_EQ(s.motorTemperature, 30);
    EXPECT_EQ(s.temperature, 77);
    EXPECT_FALSE(s.weight);
    EXPECT_EQ(t.panel["speed"]["text"], "5.0");
    EXPECT_EQ(t.panel["temperature"]["text"], "77 \u00b0C");
    EXPECT_EQ(t.panel["motor_speed"]["value"], 2000);
    EXPECT_EQ(t.panel["heater"]["code"], "HT");
    EXPECT_EQ(t.panel["heater"]["seen_ms"], 50000);
}

TEST(ConsoleTelemetry, TheNewerHeaterReportIsTheHeatersState)
{
    Telemetry t;
    // The heating control switched the heater on after the last motor data said off.
    applyStateRecords(t, decodeStateLog("1000:HT:OFF;2000:HC:100,ON;"), 0);
    EXPECT_EQ(t.panel["heater"]["on"], true);
    EXPECT_EQ(t.panel["heater"]["source"], "heating control report");
    EXPECT_EQ(t.panel["heater"]["target"], 100);
    EXPECT_FALSE(t.panel.contains("heating_control"));
    // An older report fetched later changes nothing; a newer one does, and the target stays known.
    applyStateRecords(t, decodeStateLog("1500:HT:OFF;"), 10);
    EXPECT_EQ(t.panel["heater"]["on"], true);
    applyStateRecords(t, decodeStateLog("3000:HT:OFF;"), 20);
    EXPECT_EQ(t.panel["heater"]["on"], false);
    EXPECT_EQ(t.panel["heater"]["source"], "motor data");
    EXPECT_EQ(t.panel["heater"]["target"], 100);
}

TEST(ConsoleTelemetry, QuietMotorStandsStillButTemperaturesStay)
{
    Telemetry t;
    // Reading the state log but no motor data yet: the motor stands.
    applyStateRecords(t, {}, 0);
    EXPECT_EQ(takeSample(t, 0).motorSpeed, 0);

    applyStateRecords(t, decodeStateLog("5:MS:900;5:MC:700;5:BT:40;"), 1000);
    EXPECT_EQ(takeSample(t, 1000 + MOTOR_QUIET_MS).motorSpeed, 900);
    ChartSample later = takeSample(t, 1001 + MOTOR_QUIET_MS);
    EXPECT_EQ(later.motorSpeed, 0);
    EXPECT_EQ(later.motorCurrent, 0);
    EXPECT_EQ(later.bowlTemperature, 40);
}

TEST(ConsoleTelemetry, WithoutTheStateLogMotorValuesStayUnknown)
{
    Telemetry t;
    ASSERT_TRUE(applyWeightAnswer(t, "750,61200"));
    ChartSample s = takeSample(t, 100000);
    EXPECT_FALSE(s.motorSpeed);
    EXPECT_EQ(s.weight, 750);
    EXPECT_EQ(t.panel["weight"]["ad"], 61200);
    EXPECT_EQ(sampleJson(s)["motor_speed"], nullptr);
    EXPECT_EQ(sampleJson(s)["weight"], 750.0);
}

TEST(ConsoleTelemetry, WeightAnswersThatAreNoReading)
{
    Telemetry t;
    EXPECT_FALSE(applyWeightAnswer(t, "NAK: Scale sent no data"));
    EXPECT_FALSE(applyWeightAnswer(t, "750"));
    EXPECT_FALSE(applyWeightAnswer(t, "750,"));
    EXPECT_FALSE(applyWeightAnswer(t, "750,12x"));
    EXPECT_TRUE(applyWeightAnswer(t, "-12,400"));
    EXPECT_EQ(t.latest.weight, -12);
}

TEST(ConsoleTelemetry, LockPartsAndErrorsHaveTheirOwnEntries)
{
    Telemetry t;
    applyStateRecords(t, decodeStateLog("1:LL:LID,CLOSE;2:LL:TRANSP,ON;3:LL:BOWL,OPEN;4:ER:72,1,0,0,0,0,0,0,0,0;"),
                      0);
    EXPECT_EQ(t.panel["lid"]["text"], "lid closed");
    EXPECT_EQ(t.panel["transport"]["text"], "transport lock on");
    EXPECT_EQ(t.panel["bowl"]["text"], "bowl open");
    EXPECT_EQ(t.panel["error"]["text"], "error 72");
    EXPECT_EQ(t.panel["error"]["active"], true);
    EXPECT_EQ(t.panel["error"]["detail"], "72,1,0,0,0,0,0,0,0,0");
    EXPECT_FALSE(t.panel.contains("left_lock"));
    // Cleared: the entry stays, no longer an alarm.
    applyStateRecords(t, decodeStateLog("5:ER:72,0,0,0,0,0,0,0,0,0;"), 0);
    EXPECT_EQ(t.panel["error"]["active"], false);
    EXPECT_EQ(t.panel["error"]["text"], "error 72 cleared");
}

TEST(ConsoleTelemetry, RecordsKeepWhatCouldNotBeDecoded)
{
    nlohmann::json list = recordsJson(decodeStateLog("10:DT:55;garbage;"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["code"], "DT");
    EXPECT_EQ(list[0]["raw"], "10:DT:55");
    EXPECT_TRUE(list[1].contains("error"));
}
