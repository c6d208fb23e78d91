// The machine model and the small pieces around it, without processes:
// weighing through multi-segment calibrations, the knob's ends, the timer,
// the thermostat, and the records the logger parses and writes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "blackbox_record.h"
#include "frame/log_ring.h"
#include "logger_files.h"
#include "machine_clock.h"
#include "mcl_model.h"
#include "mcl_requests.h"
#include "requests/request_codes.h"
#include "support/daemon_harness.h"
#include "test_env.h"

namespace {

const uint64_t T0 = 36000000;

struct Model {
    MachineModel m;
    ModelOutput out;
    Model() { modelInit(m, T0); }
    void control(const std::string &line)
    {
        std::vector<std::string> words;
        std::string word, error;
        for (char c : line + " ") {
            if (c == ' ') {
                if (!word.empty())
                    words.push_back(word);
                word.clear();
            } else {
                word += c;
            }
        }
        ASSERT_TRUE(modelControl(m, words, m.lastTickMs, out, &error)) << line << ": " << error;
    }
    // Lets machine time pass in ticks of 100 ms.
    void run(uint64_t ms)
    {
        uint64_t end = m.lastTickMs + ms;
        for (uint64_t t = m.lastTickMs + 100; t <= end; t += 100)
            modelTick(m, t, out);
    }
    std::vector<SimEvent> events(uint32_t id) const
    {
        std::vector<SimEvent> found;
        for (const SimEvent &e : out.events)
            if (e.id == id)
                found.push_back(e);
        return found;
    }
    int32_t lastValue(uint32_t id) const
    {
        std::vector<SimEvent> found = events(id);
        return found.empty() ? -9999 : getField<int32_t>(found.back().payload.data(), int(found.back().payload.size()), 0);
    }
};

TEST(MachineModel, WeighsThroughEverySegmentOfACalibration)
{
    Model x;
    // 0 g at AD 1200, 1000 g at AD 81200 (80 counts a gram), 3000 g at AD
    // 121200 (20 counts a gram): the daemon's segments for that table.
    x.m.calibration = {{1200, 800000}, {81200, 200000}};
    const std::pair<int, int> loads[] = {{0, 0}, {500, 500}, {1000, 1000}, {1500, 3000}, {2000, 5000}};
    for (auto [load, grams] : loads) {
        x.control("weight " + std::to_string(load));
        EXPECT_EQ(modelWeight(x.m), grams) << "load " << load;
    }
    // Below the first point the first segment goes on.
    x.m.calibration = {{41200, 800000}};
    x.control("weight 0");
    EXPECT_EQ(modelWeight(x.m), -500);
    x.m.tare = -500;
    EXPECT_EQ(modelWeight(x.m), 0);
}

TEST(MachineModel, TheKnobStopsAtItsEndsAndSkipsTheTwoSlowestSpeeds)
{
    Model x;
    modelKnobStep(x.m, -1, T0, x.out);
    EXPECT_EQ(x.m.guiSpeed, 0);
    EXPECT_TRUE(x.events(MCL_EV_SPEED_CHANGED).empty());   // no change, no event
    modelKnobStep(x.m, 1, T0, x.out);
    EXPECT_EQ(x.m.guiSpeed, 3);
    modelKnobStep(x.m, -1, T0, x.out);
    EXPECT_EQ(x.m.guiSpeed, 0);
    for (int i = 0; i < 30; i++)
        modelKnobStep(x.m, 1, T0, x.out);
    EXPECT_EQ(x.m.guiSpeed, 100);
    EXPECT_EQ(x.m.motorTarget, 10000);
    EXPECT_EQ(x.events(MCL_EV_SPEED_CHANGED).size(), 2u + 21u);
}

TEST(MachineModel, TheTimerRunsWithTheMotorAndStopsIt)
{
    Model x;
    McReply reply;
    int32_t time[2] = {0, 3};
    ASSERT_TRUE(mclHandleRequest(x.m, GUI_SET_TIME, reinterpret_cast<uint8_t *>(time), 8, T0, reply, x.out));
    x.run(2000);
    EXPECT_EQ(x.m.timerSeconds, 3u);   // the motor stands: the timer waits
    modelSetGuiSpeed(x.m, 50, x.m.lastTickMs, x.out);
    x.run(5000);
    EXPECT_EQ(x.m.timerSeconds, 0u);
    EXPECT_EQ(x.m.guiSpeed, 0);
    EXPECT_EQ(x.lastValue(MCL_EV_SPEED_CHANGED), 0);
    EXPECT_EQ(x.events(MCL_EV_TIME_CHANGED_2).size(), 3u);
    EXPECT_FALSE(x.events(MCL_EV_PRIMARY_MOTOR_DATA).empty());
    x.run(3000);
    EXPECT_EQ(x.m.motorSpeed, 0);
}

TEST(MachineModel, TheThermostatHoldsTheTargetAndMachineErrorsSwitchTheHeaterOff)
{
    Model x;
    x.m.targetTemperature = 60;
    x.m.heatingOn = true;
    x.run(120000);
    EXPECT_NEAR(x.m.bowlTemperature, 60, 2);
    std::vector<SimEvent> switches = x.events(MCL_EV_HEATING_CONTROL);
    ASSERT_GE(switches.size(), 2u);   // on, and off at the target
    EXPECT_EQ(switches[0].payload[10], 1);
    EXPECT_EQ(switches[1].payload[10], 0);
    // Reported temperatures change by one degree at a time.
    std::vector<SimEvent> temperatures = x.events(MCL_EV_CURRENT_TEMPERATURE);
    for (size_t i = 1; i < temperatures.size(); i++) {
        int32_t a = getField<int32_t>(temperatures[i - 1].payload.data(), 4, 0);
        int32_t b = getField<int32_t>(temperatures[i].payload.data(), 4, 0);
        EXPECT_EQ(std::abs(b - a), 1);
    }

    x.control("error 22");
    EXPECT_FALSE(x.m.heatingOn);
    x.run(200);
    EXPECT_FALSE(x.m.heaterActive);
    ASSERT_FALSE(x.out.blackBox.empty());
    EXPECT_EQ(x.out.blackBox.back().kind, 2u);
    EXPECT_EQ(x.out.blackBox.back().code, "22");
    // A user's warning leaves the machine as it is.
    x.m.heatingOn = true;
    x.control("error 5");
    EXPECT_TRUE(x.m.heatingOn);
}

// A daemon that is gone leaves nobody to stop the machine: the motor (knob
// or raw form) and the heater (test heater too) go off, and a machine at
// rest stays quiet.
TEST(MachineModel, LosingTheDaemonStopsTheMotorAndTheHeater)
{
    Model x;
    modelSetGuiSpeed(x.m, 50, x.m.lastTickMs, x.out);
    x.m.heatingOn = x.m.testHeater = true;
    x.run(1000);
    ASSERT_GT(x.m.motorSpeed, 0);
    ASSERT_TRUE(x.m.heaterActive);
    x.out.notes.clear();
    modelClientGone(x.m, x.m.lastTickMs, x.out);
    EXPECT_EQ(x.m.guiSpeed, 0);
    EXPECT_EQ(x.m.motorTarget, 0);
    EXPECT_FALSE(x.m.heatingOn || x.m.testHeater || x.m.heaterActive);
    EXPECT_EQ(x.out.notes.back(), "the daemon is gone: motor stopped and heater off");
    x.run(60000);
    EXPECT_EQ(x.m.motorSpeed, 0) << "the motor runs down";

    x.out.notes.clear();
    modelClientGone(x.m, x.m.lastTickMs, x.out);
    EXPECT_TRUE(x.out.notes.empty()) << "nothing was running";
}

TEST(MachineModel, LidAndBowlInterlocks)
{
    Model x;
    EXPECT_TRUE(modelLockBowl(x.m, true, T0, x.out));
    std::string error;
    EXPECT_FALSE(modelControl(x.m, {"lid", "open"}, T0, x.out, &error));   // locked
    modelSetGuiSpeed(x.m, 50, T0, x.out);
    EXPECT_FALSE(modelLockBowl(x.m, false, T0, x.out));                      // motor running
    modelStopMotor(x.m, T0, x.out);
    x.run(5000);
    EXPECT_TRUE(modelLockBowl(x.m, false, T0, x.out));
    EXPECT_TRUE(modelControl(x.m, {"lid", "open"}, T0, x.out, &error));
    EXPECT_FALSE(modelLockBowl(x.m, true, T0, x.out));
}

TEST(LoggerRecords, ParsesTheBlackBoxLayoutAndRefusesWhatDoesNotFit)
{
    Bytes record = buildBlackBoxRecord("RS", "MCH_INSTALL_DATA");
    EXPECT_EQ(record.size(), 36u);   // 16 header bytes, both texts with their NULs
    std::string code, message;
    ASSERT_TRUE(parseBlackBoxRecord(record.data(), int(record.size()), &code, &message));
    EXPECT_EQ(code, "RS");
    EXPECT_EQ(message, "MCH_INSTALL_DATA");

    Bytes withText = buildBlackBoxRecord("21", "");
    for (char c : std::string("motor overloaded"))
        withText.push_back(uint8_t(c));
    withText.push_back(0);
    ASSERT_TRUE(parseBlackBoxRecord(withText.data(), int(withText.size()), &code, &message));
    EXPECT_EQ(message, "motor overloaded");

    Bytes lying = record;
    putField<uint32_t>(lying, 12, 1000);   // a message longer than the entry
    EXPECT_FALSE(parseBlackBoxRecord(lying.data(), int(lying.size()), &code, &message));
    EXPECT_FALSE(parseBlackBoxRecord(record.data(), 15, &code, &message));
}

TEST(LoggerRecords, LinesStayOneLineAndRecordsGoToTheirLogs)
{
    EXPECT_EQ(formatLogLine("T", 5, "", "two\nlines\n"), "T <5> two lines\n");
    EXPECT_EQ(formatLogLine("T", 3, "Mcl", "x"), "T <3> [Mcl] x\n");
    EXPECT_EQ(formatBlackBoxLine(36000123, "RE", "MCH_SET_SERIAL,1\n"), "36000123;RE;MCH_SET_SERIAL,1 \n");

    auto files = [](uint32_t kind, const char *code) {
        std::string joined;
        for (const char *f : blackBoxFiles(kind, code))
            joined += std::string(f).substr(std::string(f).rfind('/') + 1) + " ";
        return joined;
    };
    EXPECT_EQ(files(LOG_KIND_BLACKBOX_RECORD, "RE"), "OperationalData.log Events.log ");
    EXPECT_EQ(files(LOG_KIND_BLACKBOX_RECORD, "22"), "OperationalData.log ");
    EXPECT_EQ(files(LOG_KIND_BLACKBOX_EVENT, "50"), "Events.log ");
    EXPECT_EQ(files(LOG_KIND_BLACKBOX_ERROR, "22"), "ErrorEvents.log ");
    EXPECT_EQ(files(LOG_KIND_TEXT, "x"), "");
}

TEST(MachineClock, GoesOnFromWhereTheLastRunOfTheRootLeftIt)
{
    TempRoot root;
    ScopedEnv env("MIF_ROOT", root.path().c_str());
    ASSERT_EQ(mkdir(root.at("/run").c_str(), 0755), 0);
    ASSERT_TRUE(machineClockStart());
    uint64_t first = machineTimeMs();
    EXPECT_GE(first, uint64_t(MACHINE_CLOCK_FRESH_MS));
    root.write("/run/machine-clock", "50000000 0\n");   // an anchor from long ago
    ASSERT_TRUE(machineClockStart());
    EXPECT_GE(machineTimeMs(), 50000000u);
}

}  // namespace
