// Setting the clock, always over stand-in calls or under a simulated root:
// no test may move the clock of the machine it runs on.
#include "platform/system_clock.h"
#include "test_env.h"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// What the stand-in calls saw and how they answer.
struct FakeKernel {
    int64_t now = 1700000000;
    int readError = 0;
    int slewError = 0;
    int stepError = 0;
    int slews = 0;
    int steps = 0;
    int64_t slewDelta = 0;
    int64_t slewMicros = -1;
    int64_t stepTarget = 0;
};
FakeKernel fake;

int fakeRead(timeval *now)
{
    if (fake.readError) {
        errno = fake.readError;
        return -1;
    }
    now->tv_sec = time_t(fake.now);
    now->tv_usec = 654321;
    return 0;
}

int fakeSlew(const timeval *delta)
{
    fake.slews++;
    fake.slewDelta = delta->tv_sec;
    fake.slewMicros = delta->tv_usec;
    if (fake.slewError) {
        errno = fake.slewError;
        return -1;
    }
    return 0;
}

int fakeStep(const timespec *target)
{
    fake.steps++;
    fake.stepTarget = target->tv_sec;
    if (fake.stepError) {
        errno = fake.stepError;
        return -1;
    }
    return 0;
}

const ClockOps kFakeOps = {fakeRead, fakeSlew, fakeStep};

// Local time is UTC in these tests, so that calendar times are known
// numbers.
class SystemClockTest : public ::testing::Test {
protected:
    ScopedEnv tz{"TZ", "UTC"};
    void SetUp() override
    {
        tzset();
        fake = FakeKernel{};
    }
    void TearDown() override { tzset(); }
};

constexpr int64_t NEW_YEAR_2030_NOON = 1893499200;

} // namespace

TEST_F(SystemClockTest, SlewsByWholeSecondsAndStepsOnlyWhenSlewingIsRefused)
{
    ClockSetResult r = setSystemClockWith(kFakeOps, {2030, 1, 1, 12, 0, 0});
    EXPECT_EQ(r.outcome, CLOCK_SET_DONE);
    EXPECT_EQ(r.target, NEW_YEAR_2030_NOON);
    EXPECT_EQ(fake.slewDelta, NEW_YEAR_2030_NOON - fake.now);
    EXPECT_EQ(fake.slewMicros, 0) << "the current fraction of a second is left alone";
    EXPECT_EQ(fake.steps, 0);

    fake = FakeKernel{};
    fake.slewError = EINVAL;
    r = setSystemClockWith(kFakeOps, {2030, 1, 1, 12, 0, 0});
    EXPECT_EQ(r.outcome, CLOCK_SET_DONE);
    EXPECT_EQ(r.slewError, EINVAL);
    EXPECT_EQ(fake.steps, 1);
    EXPECT_EQ(fake.stepTarget, NEW_YEAR_2030_NOON);

    fake = FakeKernel{};
    fake.slewError = EINVAL;
    fake.stepError = EPERM;
    r = setSystemClockWith(kFakeOps, {2030, 1, 1, 12, 0, 0});
    EXPECT_EQ(r.outcome, CLOCK_SET_FAILED);
    EXPECT_EQ(r.slewError, EINVAL);
    EXPECT_EQ(r.stepError, EPERM);
}

TEST_F(SystemClockTest, FailuresBeforeSettingTouchNothing)
{
    fake.readError = EFAULT;
    ClockSetResult r = setSystemClockWith(kFakeOps, {2030, 1, 1, 12, 0, 0});
    EXPECT_EQ(r.outcome, CLOCK_READ_FAILED);
    EXPECT_EQ(r.error, EFAULT);

    fake = FakeKernel{};
    r = setSystemClockWith(kFakeOps, {INT32_MIN, 1, 1, 12, 0, 0});
    EXPECT_EQ(r.outcome, CLOCK_CONVERT_FAILED);
    EXPECT_EQ(r.error, EOVERFLOW);
    EXPECT_EQ(fake.slews + fake.steps, 0);
}

TEST_F(SystemClockTest, DaysBeyondTheMonthCarryIntoTheNext)
{
    EXPECT_EQ(setSystemClockWith(kFakeOps, {2030, 2, 31, 12, 0, 0}).target, 1898769600) << "3 March 2030";
    EXPECT_EQ(setSystemClockWith(kFakeOps, {2028, 2, 31, 12, 0, 0}).target, 1835611200) << "2 March 2028";
}

TEST_F(SystemClockTest, UnderASimulatedRootTheRequestIsRecordedOnly)
{
    char pattern[] = "/tmp/mifXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    {
        ScopedEnv env("MIF_ROOT", root.c_str());
        ASSERT_STREQ(std::getenv("MIF_ROOT"), root.c_str());   // never the real clock
        time_t before = time(nullptr);
        ClockSetResult r = setSystemClock({2030, 2, 31, 12, 0, 0});
        time_t after = time(nullptr);
        EXPECT_EQ(r.outcome, CLOCK_SET_DONE);

        std::ifstream in(root + "/run/clock");
        std::map<std::string, std::string> fields;
        std::string line;
        while (std::getline(in, line)) {
            size_t space = line.find(' ');
            fields[line.substr(0, space)] = line.substr(space + 1);
        }
        EXPECT_EQ(fields["target"], "1898769600");
        EXPECT_EQ(fields["local"], "2030-03-03 12:00:00");
        int64_t adjust = std::stoll(fields["adjust"]);
        EXPECT_GE(1898769600 - adjust, int64_t(before));
        EXPECT_LE(1898769600 - adjust, int64_t(after));
    }
    std::filesystem::remove_all(root);
}
