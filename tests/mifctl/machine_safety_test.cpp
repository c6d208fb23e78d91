// mifctl's ways to leave the machine at rest, and set-caldata's answers
// told apart: all-off sends every stop even after a refusal; with
// --stop-on-exit a Ctrl-C during a command that started the motor stops it
// once the answer is in, and without the flag Ctrl-C only ends mifctl; a
// calibration point's "NAK: Failed to calibrate scale" is read as stored
// (the table's first point) or refused by reading the table back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

#include "fake_daemon.h"
#include "mifctl_process.h"
#include "session/command_list.h"

namespace {

std::map<std::string, std::string> envFor(const FakeDaemon &daemon)
{
    return {{"MIF_PORT", std::to_string(daemon.port())}, {"MIF_KEY_DIR", devKeyDir()}, {"MIF_ROLE", "developer"}};
}

// The requests after authentication, as "INDEX:payload".
std::vector<std::string> sent(FakeDaemon &daemon)
{
    std::vector<std::string> result;
    for (const FakeRequest &r : daemon.requests())
        if (r.index != MCH_CHAP)
            result.push_back(std::to_string(r.index) + ":" + r.text());
    return result;
}

std::string req(int32_t index, const char *payload) { return std::to_string(index) + ":" + payload; }

TEST(MachineSafety, AllOffSendsEveryStopAndReportsEachAnswer)
{
    FakeDaemon daemon([](FakeConnection &c, const FakeRequest &r) {
        const bool knob = r.index == MCH_SET_SPEED && r.text() == "0.0";
        return c.sendText(r.index, r.tag, knob ? "NAK: Timeout while waiting for target value!" : "ACK");
    });
    MifctlResult result = runMifctl({"all-off"}, envFor(daemon));
    EXPECT_EQ(result.exitCode, 1) << "one step was refused";
    EXPECT_EQ(sent(daemon), (std::vector<std::string>{req(MCH_SET_SPEED, "0,0,0,0"), req(MCH_SET_SPEED, "0.0"),
                                                      req(MCH_SET_HEATING, "OFF"), req(MCH_HEAT_CTRL, "OFF")}));
    EXPECT_EQ(result.out, "motor (raw stop): ACK\nheater: ACK\nremote heating control: ACK\n");
    EXPECT_EQ(result.err, "motor (knob to 0): NAK: Timeout while waiting for target value!\n");
    EXPECT_EQ(runMifctl({"all-off", "now"}, envFor(daemon)).exitCode, 2) << "all-off takes nothing";
}

// The daemon holds its answer to the speed until the test lets it go, so
// that Ctrl-C surely comes while the command runs.
class InterruptedSpeed {
public:
    InterruptedSpeed()
        : daemon([this](FakeConnection &c, const FakeRequest &r) {
              if (r.index == MCH_SET_SPEED && r.text() == "5.0")
                  for (int i = 0; i < 500 && !release; i++)
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
              return c.sendText(r.index, r.tag, "ACK");
          })
    {
    }
    // mifctl's result after Ctrl-C during `set-speed 5.0`.
    MifctlResult run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"set-speed", "5.0"});
        MifctlProcess mifctl;
        EXPECT_TRUE(mifctl.start(args, envFor(daemon)));
        for (int i = 0; i < 500 && sent(daemon).empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(sent(daemon), std::vector<std::string>{req(MCH_SET_SPEED, "5.0")});
        kill(mifctl.pid(), SIGINT);
        release = true;
        return mifctl.finish(10000);
    }

    std::atomic<bool> release{false};
    FakeDaemon daemon;
};

TEST(MachineSafety, StopOnExitStopsTheMotorACtrlCInterruptedAndOnlyWhenAsked)
{
    InterruptedSpeed asked;
    MifctlResult stopped = asked.run({"--stop-on-exit"});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "ACK\nmotor (raw stop): ACK\nmotor (knob to 0): ACK\n");
    EXPECT_NE(stopped.err.find("interrupted; stopping what was started"), std::string::npos) << stopped.err;
    EXPECT_EQ(sent(asked.daemon), (std::vector<std::string>{req(MCH_SET_SPEED, "5.0"), req(MCH_SET_SPEED, "0,0,0,0"),
                                                            req(MCH_SET_SPEED, "0.0")}))
        << "the heater was not started, so it is not touched";

    InterruptedSpeed plain;
    EXPECT_EQ(plain.run({}).exitCode, 128 + SIGINT) << "without the flag Ctrl-C ends mifctl as ever";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent(plain.daemon), std::vector<std::string>{req(MCH_SET_SPEED, "5.0")});
}

TEST(MachineSafety, TheShellWithStopOnExitStopsWhatItStartedWhenLeft)
{
    FakeDaemon daemon([](FakeConnection &c, const FakeRequest &r) { return c.sendText(r.index, r.tag, "ACK"); });
    MifctlResult result = runMifctl({"--stop-on-exit", "shell"}, envFor(daemon), "set-heating on\nset-speed 0.0\n");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(sent(daemon), (std::vector<std::string>{req(MCH_SET_HEATING, "ON"), req(MCH_SET_SPEED, "0.0"),
                                                      req(MCH_SET_HEATING, "OFF"), req(MCH_HEAT_CTRL, "OFF")}))
        << "a speed of 0 starts nothing";
}

TEST(MachineSafety, SetCaldataTellsAStoredPointFromARefusedOne)
{
    std::mutex lock;
    std::string table = "NAK: no caldata found";
    FakeDaemon daemon([&](FakeConnection &c, const FakeRequest &r) {
        std::lock_guard<std::mutex> guard(lock);
        if (r.index == MCH_GET_CALDATA)
            return c.sendText(r.index, r.tag, table);
        if (r.text() == "CLEAR") {
            table = "NAK: no caldata found";
            return c.sendText(r.index, r.tag, "ACK");
        }
        if (r.text() == "500")
            table = "500,80000;";
        else if (r.text() == "2000,161200")
            table = "500,80000;2000,161200;";
        return c.sendText(r.index, r.tag, r.text() == "2000,161200" ? "ACK" : "NAK: Failed to calibrate scale");
    });
    const auto env = envFor(daemon);

    MifctlResult first = runMifctl({"set-caldata", "500"}, env);
    EXPECT_EQ(first.exitCode, 0) << "the first point is stored";
    EXPECT_NE(first.err.find("NAK: Failed to calibrate scale\nmifctl: point stored as the first of the table"),
              std::string::npos)
        << first.err;
    MifctlResult second = runMifctl({"set-caldata", "2000", "161200"}, env);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "ACK\n");

    MifctlResult refused = runMifctl({"set-caldata", "1000", "1200"}, env);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("point not stored, the table is as it was"), std::string::npos) << refused.err;

    const size_t before = sent(daemon).size();
    for (const char *grams : {"-5", "+5", "4294967296", "12g"}) {
        MifctlResult usage = runMifctl({"set-caldata", grams}, env);
        EXPECT_EQ(usage.exitCode, 2) << grams;
        EXPECT_NE(usage.err.find("without a sign"), std::string::npos) << usage.err;
    }
    EXPECT_EQ(sent(daemon).size(), before) << "a refused argument never reaches the daemon";

    MifctlResult cleared = runMifctl({"set-caldata", "clear"}, env);
    EXPECT_EQ(cleared.exitCode, 0);
    EXPECT_NE(cleared.err.find("scali.dat and machine control keep the previous calibration"), std::string::npos)
        << cleared.err;
}

}  // namespace
