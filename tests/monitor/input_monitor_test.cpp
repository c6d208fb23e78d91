#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <linux/input.h>

#include "monitor/monitor_threads.h"
#include "monitor_test_support.h"
#include "test_env.h"

namespace {

// A temporary MIF_ROOT whose input devices are FIFOs, fed the way the
// kernel delivers events: native input_event records.
class InputMonitorTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        char pattern[] = "/tmp/mifXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        env_ = std::make_unique<ScopedEnv>("MIF_ROOT", root_.c_str());
        ASSERT_EQ(mkdir((root_ + "/dev").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root_ + "/dev/input").c_str(), 0700), 0);
    }

    void TearDown() override
    {
        stop();
        for (int &fd : writers_)
            if (fd >= 0)
                close(fd);
        unlink((root_ + "/dev/input/event0").c_str());
        unlink((root_ + "/dev/input/event1").c_str());
        rmdir((root_ + "/dev/input").c_str());
        rmdir((root_ + "/dev").c_str());
        rmdir(root_.c_str());
        env_.reset();
        MonitorTest::TearDown();
    }

    std::string device(int n) { return root_ + "/dev/input/event" + std::to_string(n); }

    void makeFifo(int n) { ASSERT_EQ(mkfifo(device(n).c_str(), 0600), 0); }

    void start()
    {
        startMonitoringThreads();
        started_ = true;
    }

    // Stops the monitors; false when they did not end within the bound (a
    // record on each feeder then lets them go, so the test still ends).
    bool stop()
    {
        if (!started_)
            return true;
        started_ = false;
        requestStop();
        auto joined = std::async(std::launch::async, joinMonitoringThreads);
        if (joined.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return true;
        for (int n = 0; n < 2; n++) {
            if (writers_[n] < 0)
                writers_[n] = open(device(n).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writers_[n] >= 0)
                send(writers_[n], EV_SYN, SYN_REPORT, 0);
        }
        return false;
    }

    // Opens device n for writing once its monitor has opened it for reading
    // (a FIFO refuses a non-blocking writer until a reader is there).
    int feeder(int n)
    {
        for (int tries = 0; tries < 500; tries++) {
            int fd = open(device(n).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                writers_[n] = fd;
                return fd;
            }
            if (errno != ENXIO)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "monitor of " << device(n) << " never opened it";
        return -1;
    }

    static void send(int fd, uint16_t type, uint16_t code, int32_t value, long usec = 0)
    {
        input_event event{};
        event.input_event_usec = usec;
        event.type = type;
        event.code = code;
        event.value = value;
        ASSERT_EQ(write(fd, &event, sizeof event), ssize_t(sizeof event));
    }

    // Waits (bounded) until the log holds `count` entries, then takes it.
    static std::string takeEntries(int count)
    {
        for (int i = 0; i < 500 && getStateEntryCount() < count; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(getStateEntryCount(), count);
        return takeState();
    }

    std::string root_;
    std::unique_ptr<ScopedEnv> env_;
    int writers_[2] = {-1, -1};
    bool started_ = false;
};

TEST_F(InputMonitorTest, TouchReportsGiveOneEntryEach)
{
    makeFifo(0);
    makeFifo(1);
    remoteIfDouble.sysTime = 1700000123999ULL;
    start();
    int touch = feeder(0);
    ASSERT_GE(touch, 0);

    send(touch, EV_SYN, SYN_REPORT, 0, 5000);   // before any coordinate
    send(touch, EV_ABS, ABS_X, 100);
    send(touch, EV_ABS, ABS_Y, 200);
    send(touch, EV_ABS, ABS_PRESSURE, 9);         // other codes leave the position alone
    send(touch, EV_SYN, SYN_REPORT, 0, 456789);
    send(touch, EV_ABS, ABS_MT_POSITION_X, 0x12345);   // kept as 16 bits
    send(touch, EV_ABS, ABS_MT_POSITION_Y, 400);
    send(touch, EV_KEY, BTN_TOUCH, 1);
    send(touch, EV_SYN, SYN_REPORT, 0, 999999);
    send(touch, EV_SYN, SYN_REPORT, 0);            // a finger lifted: the last position again
    EXPECT_EQ(takeEntries(4), "1700000123005:TE:65535,65535;"
                              "1700000123456:TE:100,200;"
                              "1700000123999:TE:9029,400;"
                              "1700000123000:TE:9029,400;");
    EXPECT_TRUE(stop());

    // "Unknown": a FIFO reports no device name.
    bool opened = false;
    for (const std::string &line : logged(5))
        if (line.find("Opened device " + device(0)) != std::string::npos &&
            line.find("identified as \"Unknown\"") != std::string::npos)
            opened = true;
    EXPECT_TRUE(opened);
}

TEST_F(InputMonitorTest, KnobPushesAndTurns)
{
    makeFifo(0);
    makeFifo(1);
    remoteIfDouble.sysTime = 2000;
    start();
    int knob = feeder(1);
    ASSERT_GE(knob, 0);

    send(knob, EV_KEY, KEY_STOP, 1, 1000);   // press ...
    send(knob, EV_SYN, SYN_REPORT, 0);
    send(knob, EV_KEY, KEY_STOP, 0);         // ... and release: one push
    send(knob, EV_KEY, KEY_POWER, 1, 2000);
    send(knob, EV_KEY, KEY_POWER, 0);
    send(knob, EV_KEY, KEY_STOP, 2, 3000);   // auto-repeat counts as a press
    send(knob, EV_KEY, KEY_ENTER, 1);        // other keys are ignored
    send(knob, EV_REL, REL_X, 300, 4000);    // logged as a signed 8-bit value
    send(knob, EV_REL, REL_X, -1, 5000);
    send(knob, EV_REL, REL_Y, 5);
    EXPECT_EQ(takeEntries(5), "2001:PE:PUSH;2002:PE:LONG_PUSH;2003:PE:PUSH;2004:RE:44;2005:RE:-1;");
    EXPECT_TRUE(stop());
}

TEST_F(InputMonitorTest, ANewFeederIsHeardAfterTheLastOneLeft)
{
    makeFifo(0);
    makeFifo(1);
    start();
    int knob = feeder(1);
    ASSERT_GE(knob, 0);
    send(knob, EV_REL, REL_X, 1);
    EXPECT_EQ(takeEntries(1), "0:RE:1;");
    close(knob);
    writers_[1] = -1;
    // Give the monitor time to see the hang-up before the next feeder comes
    // (a feeder already there would hide it).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    knob = feeder(1);
    ASSERT_GE(knob, 0);
    send(knob, EV_REL, REL_X, 2);
    EXPECT_EQ(takeEntries(1), "0:RE:2;");
    EXPECT_TRUE(stop());
}

TEST_F(InputMonitorTest, WithoutTheKnobDeviceTouchesAreStillLogged)
{
    makeFifo(0);
    start();
    int touch = feeder(0);
    ASSERT_GE(touch, 0);
    send(touch, EV_ABS, ABS_X, 1);
    send(touch, EV_ABS, ABS_Y, 2);
    send(touch, EV_SYN, SYN_REPORT, 0);
    EXPECT_EQ(takeEntries(1), "0:TE:1,2;");
    EXPECT_TRUE(stop());

    bool missing = false;
    for (const std::string &line : logged(3))
        if (line.rfind("openDevice,", 0) == 0 && line.find("No such file or directory") != std::string::npos)
            missing = true;
    EXPECT_TRUE(missing) << "the missing device is logged";
}

TEST_F(InputMonitorTest, IdleDevicesDoNotHoldUpShutdown)
{
    makeFifo(0);
    makeFifo(1);
    start();
    // Feeders attached but silent: each monitor sits waiting for input.
    ASSERT_GE(feeder(0), 0);
    ASSERT_GE(feeder(1), 0);
    EXPECT_TRUE(stop()) << "monitors still waiting for input after stop";
}

} // namespace
