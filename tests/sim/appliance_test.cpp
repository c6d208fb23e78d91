// The whole simulated appliance as a process: the tree it lays out, the
// input devices it feeds, the display and sound it renders, its control
// channel and its orderly end.
#include "sim_test_util.h"

#include <linux/input.h>
#include <png.h>
#include <sys/stat.h>

#include "media.h"

namespace {

class ApplianceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_.start(root_, {}));
        ASSERT_TRUE(eventually([&] { return root_.exists("/run/sim.pid"); }, 5000)) << sim_.output();
    }
    bool isFifo(const char *appliancePath)
    {
        struct stat st;
        return stat(root_.at(appliancePath).c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    }
    // A control line through the control FIFO, as `mif-sim ctl` sends it.
    int ctl(const std::string &line)
    {
        std::string command = "MIF_ROOT=" + root_.path() + " " + programLine(binDir() + "/mif-sim") + " ctl " + line + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // What `mif-sim ctl` prints to its caller.
    std::string ctlOutput(const std::string &line)
    {
        std::string command = "MIF_ROOT=" + root_.path() + " " + programLine(binDir() + "/mif-sim") + " ctl " + line;
        std::string out;
        if (FILE *pipe = popen(command.c_str(), "r")) {
            out = readAll(pipe);
            pclose(pipe);
        }
        return out;
    }
    // Reads the records that arrive on an input FIFO within `ms`.
    std::vector<input_event> readRecords(int fd, size_t count, int ms = 3000)
    {
        std::vector<input_event> records;
        input_event event;
        eventually(
            [&] {
                while (read(fd, &event, sizeof event) == ssize_t(sizeof event))
                    records.push_back(event);
                return records.size() >= count;
            },
            ms);
        return records;
    }

    TempRoot root_;
    SimChild sim_;
};

TEST_F(ApplianceTest, LaysOutTheApplianceAndEndsInOrderWhenToldToQuit)
{
    EXPECT_TRUE(isFifo("/dev/input/event0"));
    EXPECT_TRUE(isFifo("/dev/input/event1"));
    EXPECT_TRUE(isFifo("/run/sim.ctl"));
    EXPECT_EQ(root_.read("/dev/fb").size(), size_t(FB_FRAME_SIZE));
    EXPECT_TRUE(root_.exists("/dev/dsp"));
    EXPECT_TRUE(root_.exists("/dev/tty0"));
    EXPECT_EQ(root_.read("/sys/uid/otp/id.bin"), std::string(16, '\0'));
    EXPECT_EQ(root_.read("/mnt/rwfs/data/system_config/qxsn.dat").size(), 17u);
    EXPECT_EQ(root_.read("/mnt/rwfs/data/system_config/scali.dat"), "0,1200;1000,81200;");
    // Service logs in the form the time window of service clients reads.
    std::string events = root_.read("/mnt/rwfs/data/tech_box/Events.log");
    EXPECT_FALSE(events.empty());
    for (size_t at = 0; at < events.size(); at = events.find('\n', at) + 1)
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(events[at]))) << events;
    // The version script writes /tmp/SW_VERSION under the root it lives in.
    ASSERT_EQ(std::system(root_.at("/opt/get_sw_version_into_file.sh").c_str()), 0);
    EXPECT_EQ(root_.read("/tmp/SW_VERSION"), "V: 2.14.3 (simulated)\n");

    // The answers the caller asks for come back to the caller.
    const std::string status = ctlOutput("status");
    EXPECT_NE(status.find("heating off, lid closed"), std::string::npos) << status;
    EXPECT_NE(ctlOutput("help").find("weight GRAMS"), std::string::npos);
    EXPECT_EQ(ctl("nonsense"), 2);
    EXPECT_EQ(ctl("quit"), 0);
    EXPECT_EQ(sim_.waitExit(15000), 0) << sim_.output();
    EXPECT_FALSE(root_.exists("/run/sim.pid"));
    // Every process of the appliance has closed its sockets.
    EXPECT_FALSE(root_.exists("/tmp/MclReply.ipc"));
    EXPECT_EQ(ctl("status"), 1);   // nobody listens any more
}

TEST_F(ApplianceTest, FeedsTouchesAndTheKnobToWhoeverReadsTheInputDevices)
{
    // Nobody reads yet: the input is dropped, as an event device does.
    ASSERT_EQ(ctl("touch 10,20"), 0);
    EXPECT_TRUE(eventually([&] { return sim_.output().find("nobody reads /dev/input/event0") != std::string::npos; }));

    int touch = open(root_.at("/dev/input/event0").c_str(), O_RDONLY | O_NONBLOCK);
    int knob = open(root_.at("/dev/input/event1").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(touch, 0);
    ASSERT_GE(knob, 0);
    ASSERT_EQ(ctl("touch 100,200"), 0);
    std::vector<input_event> records = readRecords(touch, 8);
    int reports = 0, x = -1, y = -1;
    for (const input_event &e : records) {
        reports += e.type == EV_SYN && e.code == SYN_REPORT;
        if (e.type == EV_ABS && e.code == ABS_MT_POSITION_X)
            x = e.value;
        if (e.type == EV_ABS && e.code == ABS_MT_POSITION_Y)
            y = e.value;
    }
    EXPECT_EQ(reports, 2);   // finger down, finger lifted
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 200);

    ASSERT_EQ(ctl("knob turn -2"), 0);
    ASSERT_EQ(ctl("knob push"), 0);
    records = readRecords(knob, 8);
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].type, EV_REL);
    EXPECT_EQ(records[0].code, REL_X);
    EXPECT_EQ(records[0].value, -1);
    EXPECT_EQ(records[2].value, -1);
    EXPECT_EQ(records[4].type, EV_KEY);
    EXPECT_EQ(records[4].code, KEY_STOP);
    EXPECT_EQ(records[4].value, 1);
    EXPECT_EQ(records[6].value, 0);
    close(touch);
    close(knob);
}

TEST_F(ApplianceTest, RendersTheDisplayAsPngAndTheSoundAsWav)
{
    // One pixel at x 10, y 5: blue 1, green 2, red 3.
    std::string frame(FB_FRAME_SIZE, '\0');
    size_t at = (5 * FB_WIDTH + 10) * FB_BYTES_PER_PIXEL;
    frame[at] = 1;
    frame[at + 1] = 2;
    frame[at + 2] = 3;
    root_.write("/dev/fb", frame);
    ASSERT_EQ(ctl("fb-png " + root_.path() + "/shot.png"), 0);
    ASSERT_TRUE(eventually([&] { return sim_.output().find("display rendered") != std::string::npos; }));

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, root_.at("/shot.png").c_str()));
    EXPECT_EQ(image.width, unsigned(FB_WIDTH));
    EXPECT_EQ(image.height, unsigned(FB_HEIGHT));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    size_t pixel = (5 * FB_WIDTH + 10) * 3;
    EXPECT_EQ(rgb[pixel], 3);
    EXPECT_EQ(rgb[pixel + 1], 2);
    EXPECT_EQ(rgb[pixel + 2], 1);
    EXPECT_EQ(rgb[pixel + 3], 0);

    root_.write("/dev/dsp", std::string("\x01\x02\x03\x04\x05", 5));
    ASSERT_EQ(ctl("dsp-wav " + root_.path() + "/sound.wav"), 0);
    ASSERT_TRUE(eventually([&] { return sim_.output().find("sound written") != std::string::npos; }));
    std::string wav = root_.read("/sound.wav");
    ASSERT_EQ(wav.size(), 44u + 4u);   // the odd byte is half a sample
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    uint16_t channels, bits;
    uint32_t rate, dataSize;
    memcpy(&channels, wav.data() + 22, 2);
    memcpy(&rate, wav.data() + 24, 4);
    memcpy(&bits, wav.data() + 34, 2);
    memcpy(&dataSize, wav.data() + 40, 4);
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(dataSize, 4u);
}

}  // namespace
