#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input_devices.h"
#include "media.h"
#include "peer.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sim_console.h"

namespace {

const char kWho[] = "sim";

const ControlCommand kCommands[] = {
    {"weight", "weight GRAMS", "put a load of GRAMS on the scale", TARGET_MCL},
    {"error", "error CODE|clear", "raise a machine error (72 and 150 are permanent), or clear it", TARGET_MCL},
    {"lid", "lid open|close", "open or close the lid", TARGET_MCL},
    {"bowl", "bowl open|close", "open or lock the bowl", TARGET_MCL},
    {"temperature", "temperature C", "set the bowl's temperature", TARGET_MCL},
    {"mcl", "mcl silent|fail|normal", "machine control stops answering, fails every request, or is well again",
     TARGET_MCL},
    {"status", "status", "machine control's state", TARGET_MCL},
    {"touch", "touch X,Y", "touch the screen at X,Y (0-479, 0-271)", TARGET_APPLIANCE},
    {"knob", "knob turn N|push|long", "turn the knob N detents (negative: down), push it, or push it long",
     TARGET_APPLIANCE},
    {"threshold", "threshold LEVEL", "the logger's level threshold (0-7; 6 shows every trace)", TARGET_LOGGER},
    {"gui", "gui", "the network daemon brings the GUI back", TARGET_NETLINK},
    {"fb-png", "fb-png [FILE]", "render the display as a PNG (default $MIF_ROOT/run/fb.png)", TARGET_APPLIANCE},
    {"dsp-wav", "dsp-wav [FILE]", "the last sound played as a WAV (default $MIF_ROOT/run/dsp.wav)", TARGET_APPLIANCE},
    {"help", "help", "this list", TARGET_APPLIANCE},
    {"quit", "quit", "end the simulated appliance (and the daemon it started)", TARGET_APPLIANCE},
};

bool parseInt(const std::string &text, long *value)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno)
        return false;
    *value = v;
    return true;
}

void report(bool ok, const std::string &done, const std::string &error)
{
    if (ok)
        simSay(kWho, "%s", done.c_str());
    else
        simSay(kWho, "%s", error.c_str());
}

// The device half of a command: input records, renderings.
void runDeviceCommand(const std::vector<std::string> &w, const std::string &line, const ApplianceActions &actions)
{
    std::string error;
    long x = 0, y = 0, steps = 0;
    const std::string &cmd = w[0];
    if (cmd == "touch") {
        if (w.size() != 3 || !parseInt(w[1], &x) || !parseInt(w[2], &y) || x < 0 || y < 0 || x >= FB_WIDTH ||
            y >= FB_HEIGHT) {
            simSay(kWho, "usage: touch X,Y (0-%d, 0-%d)", FB_WIDTH - 1, FB_HEIGHT - 1);
            return;
        }
        report(inputTouch(int(x), int(y), &error), "touch at " + w[1] + "," + w[2], error);
    } else if (cmd == "knob") {
        if (w.size() == 3 && w[1] == "turn" && parseInt(w[2], &steps) && steps != 0 && steps >= -24 && steps <= 24) {
            report(inputKnobTurn(int(steps), &error), "knob turned " + w[2], error);
            actions.forward(TARGET_MCL, line);   // the GUI's part: the speed follows
        } else if (w.size() == 2 && (w[1] == "push" || w[1] == "long")) {
            report(inputKnobPush(w[1] == "long", &error), w[1] == "long" ? "knob pushed long" : "knob pushed", error);
        } else {
            simSay(kWho, "usage: knob turn N (1-24 or -1 to -24) | knob push | knob long");
        }
    } else if (cmd == "fb-png" || cmd == "dsp-wav") {
        bool fb = cmd == "fb-png";
        std::string out = w.size() > 1 ? w[1] : mifPath(fb ? "/run/fb.png" : "/run/dsp.wav");
        bool ok = fb ? renderFrameToPng(mifPath(FB_DEVICE), out, &error) : convertPcmToWav(mifPath(DSP_DEVICE), out, &error);
        report(ok, (fb ? "display rendered to " : "sound written to ") + out, error);
    } else if (cmd == "help") {
        simSay(kWho, "%s", controlHelp().c_str());
    } else if (cmd == "quit") {
        actions.quit();
    }
}

}  // namespace

const ControlCommand *findControlCommand(const std::string &word)
{
    for (const ControlCommand &command : kCommands)
        if (word == command.word)
            return &command;
    return nullptr;
}

std::string controlHelp()
{
    std::string text = "commands:";
    for (const ControlCommand &command : kCommands) {
        char row[160];
        snprintf(row, sizeof row, "\n  %-26s %s", command.usage, command.help);
        text += row;
    }
    return text;
}

bool runControlLine(const std::string &line, const ApplianceActions &actions)
{
    std::vector<std::string> words = splitControlLine(line);
    if (words.empty())
        return true;
    const ControlCommand *command = findControlCommand(words[0]);
    if (!command)
        return false;
    if (command->target == TARGET_APPLIANCE)
        runDeviceCommand(words, line, actions);
    else
        actions.forward(command->target, line);
    return true;
}

int openControlFifo(std::string *error)
{
    std::string path = mifPath(CONTROL_FIFO);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0) {
            *error = path + ": " + strerror(errno);
            return -1;
        }
    }
    // Opened for reading and writing: the FIFO then never reports its end
    // when a writer closes, and the open does not wait for a writer.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        *error = path + ": " + strerror(errno);
    return fd;
}

bool sendControlLine(const std::string &line, std::string *error)
{
    std::string path = mifPath(CONTROL_FIFO);
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENXIO || errno == ENOENT ? "no simulator is running under " + mifRoot()
                                                   : path + ": " + strerror(errno);
        return false;
    }
    std::string text = line + "\n";
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    if (!ok)
        *error = path + ": " + strerror(errno);
    return ok;
}

bool writeControlReply(const std::string &text)
{
    const std::string body = text + "\n";
    return writeFileAtomically(mifPath(CONTROL_REPLY_FILE).c_str(), body.data(), body.size()) == 0;
}

bool sendControlLineForReply(const std::string &line, int timeoutMs, std::string *reply, std::string *error)
{
    const std::string path = mifPath(CONTROL_REPLY_FILE);
    unlink(path.c_str());
    if (!sendControlLine(line, error))
        return false;
    // The simulator reads its FIFO a few times a second and machine control
    // answers at once: a short poll of the file is enough.
    for (const int64_t end = monotonicMs() + timeoutMs; monotonicMs() < end; sleepMs(50)) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buffer[4096];
        ssize_t got;
        reply->clear();
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            reply->append(buffer, size_t(got));
        close(fd);
        return true;
    }
    *error = "no answer within " + std::to_string(timeoutMs / 1000) + " s (is machine control running?)";
    return false;
}
