// The input monitors inside the real daemon: touch and knob input written
// into the simulated input devices reaches MCH_GET_STATE, and a shutdown with
// both devices idle is not held up by them.
#include "session/command_list.h"
#include "support/daemon_harness.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/input.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

void feed(int fd, uint16_t type, uint16_t code, int32_t value)
{
    input_event event{};
    event.time.tv_usec = 123000;
    event.type = type;
    event.code = code;
    event.value = value;
    ASSERT_EQ(write(fd, &event, sizeof event), ssize_t(sizeof event));
}

TEST(MonitorDaemonTest, TouchAndKnobInputReachTheStateLog)
{
    TempRoot root;
    std::filesystem::create_directories(root.at("/dev/input"));
    ASSERT_EQ(mkfifo(root.at("/dev/input/event0").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(root.at("/dev/input/event1").c_str(), 0600), 0);
    Daemon daemon;
    ASSERT_TRUE(daemon.start(root));

    int touch = openInputFeeder(root.at("/dev/input/event0"));
    int knob = openInputFeeder(root.at("/dev/input/event1"));
    ASSERT_GE(touch, 0);
    ASSERT_GE(knob, 0);
    feed(touch, EV_ABS, ABS_MT_POSITION_X, 100);
    feed(touch, EV_ABS, ABS_MT_POSITION_Y, 200);
    feed(touch, EV_SYN, SYN_REPORT, 0);
    feed(knob, EV_KEY, KEY_STOP, 1);
    feed(knob, EV_KEY, KEY_STOP, 0);
    feed(knob, EV_REL, REL_X, -1);

    Client client;
    ASSERT_TRUE(client.connect(daemon.port()));
    ASSERT_EQ(client.authenticate("testlab"), "ACK");
    std::string state;
    for (int i = 0; i < 100; i++) {
        std::string answer = client.call(MCH_GET_STATE, nullptr);
        if (answer.rfind("NAK:", 0) != 0)
            state += answer;
        if (state.find("TE:100,200;") != std::string::npos && state.find(":RE:-1;") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(state.find(":TE:100,200;"), std::string::npos) << state;
    EXPECT_NE(state.find(":PE:PUSH;"), std::string::npos) << state;
    EXPECT_EQ(state.find("PUSH;", state.find("PUSH;") + 1), std::string::npos) << "the release is not logged";
    EXPECT_NE(state.find(":RE:-1;"), std::string::npos) << state;
    close(touch);
    close(knob);

    // Both devices idle now: the monitors must not hold the shutdown up.
    EXPECT_EQ(client.call(MCH_SHUTDOWN, "0"), "ACK");
    EXPECT_EQ(daemon.waitExit(15000), 0);
}

} // namespace
