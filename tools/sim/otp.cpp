#include "otp.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/paths.h"
#include "sim_console.h"

namespace {

const char kWho[] = "OTP";

enum { POLL_MS = 200 };

enum FileIndex { ID_BIN, ID, UNLOCK, FULL, FILE_COUNT };
const char *const kFiles[FILE_COUNT] = {OTP_ID_BIN, OTP_ID, OTP_UNLOCK, OTP_FULL};

struct DriverFile {
    int fd = -1;
    int watch = -1;
    bool leased = false;
};

struct Driver {
    OtpMemory memory;
    DriverFile files[FILE_COUNT];
    int inotifyFd = -1;
    int signalFd = -1;
    int stopFd = -1;
    bool leases = true;
    std::thread thread;
};

Driver gDriver;

bool parseNumber(const std::string &text, unsigned long *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || text[0] == '-')
        return false;
    *value = v;
    return true;
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string fileText(int fd)
{
    char buffer[256];
    ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
    return std::string(buffer, got > 0 ? size_t(got) : 0);
}

// "1" (with or without a NUL or line end) switches on, anything else off.
bool switchedOn(int fd) { return fileText(fd).compare(0, 1, "1") == 0; }

void writeImage(Driver &d)
{
    uint8_t image[OTP_WORDS * 4];
    memcpy(image, d.memory.words, sizeof image);
    if (pwrite(d.files[ID_BIN].fd, image, sizeof image, 0) != ssize_t(sizeof image))
        simSay(kWho, "cannot write id.bin: %s", strerror(errno));
    FILE *f = fopen(mifPath(OTP_LOCKS).c_str(), "w");
    if (f) {
        fprintf(f, "%s\n", hex(d.memory.lockMask).c_str());
        fclose(f);
    }
}

// Carries out whatever was written since the last look: the access
// switches as they stand, and a command in id, which is then consumed.
void applyWrites(Driver &d)
{
    d.memory.unlocked = switchedOn(d.files[UNLOCK].fd);
    d.memory.fullAccess = switchedOn(d.files[FULL].fd);
    std::string command = fileText(d.files[ID].fd);
    if (command.empty())
        return;
    if (ftruncate(d.files[ID].fd, 0) != 0)
        simSay(kWho, "cannot consume the command: %s", strerror(errno));
    std::string report;
    otpApplyCommand(d.memory, command, &report);
    simSay(kWho, "%s", report.c_str());
    writeImage(d);
}

void takeLease(Driver &d, FileIndex i)
{
    if (!d.leases || d.files[i].leased)
        return;
    // Refused while someone else has the file open: tried again when they
    // close it, or at the next turn.
    // The kernel forgets the lease signal when a lease goes: set it each time.
    fcntl(d.files[i].fd, F_SETSIG, otpLeaseSignal());
    if (fcntl(d.files[i].fd, F_SETLEASE, F_WRLCK) == 0)
        d.files[i].leased = true;
    else if (errno != EAGAIN && errno != EBUSY)
        d.leases = false;   // the file system takes none
}

// `fd` is the file whose lease is being broken; a break reported without
// one (SIGIO) gives up every lease, to be taken again.
void onLeaseBreak(Driver &d, int fd)
{
    applyWrites(d);
    for (DriverFile &file : d.files) {
        if ((file.fd == fd || fd <= 0) && file.leased) {
            fcntl(file.fd, F_SETLEASE, F_UNLCK);
            file.leased = false;
        }
    }
}

void onNotify(Driver &d)
{
    alignas(inotify_event) char buffer[4096];
    ssize_t got = read(d.inotifyFd, buffer, sizeof buffer);
    bool written = false;
    for (ssize_t at = 0; at < got;) {
        const inotify_event *event = reinterpret_cast<const inotify_event *>(buffer + at);
        written |= (event->mask & IN_CLOSE_WRITE) != 0;
        at += ssize_t(sizeof(inotify_event) + event->len);
    }
    if (written)
        applyWrites(d);
    for (int i = 0; i < FILE_COUNT; i++)
        takeLease(d, FileIndex(i));
}

void run(Driver &d)
{
    while (true) {
        pollfd fds[3] = {{d.stopFd, POLLIN, 0}, {d.signalFd, POLLIN, 0}, {d.inotifyFd, POLLIN, 0}};
        int ready = poll(fds, 3, POLL_MS);
        if (ready > 0 && (fds[0].revents & POLLIN))
            return;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info;
            while (read(d.signalFd, &info, sizeof info) == ssize_t(sizeof info))
                onLeaseBreak(d, int(info.ssi_signo) == otpLeaseSignal() ? int(info.ssi_fd) : 0);
        }
        if (ready > 0 && (fds[2].revents & POLLIN))
            onNotify(d);
        if (ready == 0) {
            // A write the notifications missed (a file replaced whole, for
            // example) is still applied, at the latest on the next turn.
            applyWrites(d);
            for (int i = 0; i < FILE_COUNT; i++)
                takeLease(d, FileIndex(i));
        }
    }
}

void closeDriver(Driver &d)
{
    for (DriverFile &file : d.files) {
        if (file.fd >= 0) {
            if (file.leased)
                fcntl(file.fd, F_SETLEASE, F_UNLCK);
            close(file.fd);
        }
        file = DriverFile{};
    }
    for (int *fd : {&d.inotifyFd, &d.signalFd, &d.stopFd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool writeNew(const char *appliancePath, const void *data, size_t size, std::string *error)
{
    std::string path = mifPath(appliancePath);
    if (access(path.c_str(), F_OK) == 0)
        return true;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && (size == 0 || write(fd, data, size) == ssize_t(size));
    if (fd >= 0)
        close(fd);
    if (!ok)
        *error = path + ": " + strerror(errno);
    return ok;
}

}  // namespace

int otpLeaseSignal() { return SIGRTMIN + 1; }

bool otpApplyCommand(OtpMemory &memory, const std::string &text, std::string *report)
{
    std::string clean;
    for (char c : text)
        if (c != '\0' && c != '\n' && c != '\r' && c != ' ')
            clean += c;
    bool ok = true;
    report->clear();
    auto say = [report](const std::string &line) { *report += (report->empty() ? "" : "; ") + line; };
    size_t start = 0;
    do {
        size_t comma = clean.find(',', start);
        std::string item = clean.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? clean.size() + 1 : comma + 1;
        size_t colon = item.find(':');
        unsigned long address = 0, value = 0;
        if (colon == std::string::npos || !parseNumber(item.substr(0, colon), &address) ||
            !parseNumber(item.substr(colon + 1), &value) || value > 0xFFFFFFFFul) {
            say("\"" + item + "\" not understood");
            ok = false;
            continue;
        }
        if (!memory.unlocked) {
            say("write to " + std::to_string(address) + " refused: write access is off");
            ok = false;
        } else if (address == OTP_LOCK_ADDRESS) {
            if (!memory.fullAccess) {
                say("lock refused: full access is off");
                ok = false;
            } else {
                memory.lockMask |= uint32_t(value) & ((1u << OTP_WORDS) - 1);
                say("lock word now " + hex(memory.lockMask));
            }
        } else if (address >= OTP_WORDS) {
            say("no word " + std::to_string(address));
            ok = false;
        } else if (memory.lockMask & (1u << address)) {
            say("word " + std::to_string(address) + " is locked");
            ok = false;
        } else {
            memory.words[address] |= uint32_t(value);
            say("word " + std::to_string(address) + " burnt: " + hex(memory.words[address]));
        }
    } while (start <= clean.size());
    return ok;
}

bool otpCreateFiles(std::string *error)
{
    uint8_t blank[OTP_WORDS * 4] = {};
    return writeNew(OTP_ID_BIN, blank, sizeof blank, error) && writeNew(OTP_ID, nullptr, 0, error) &&
           writeNew(OTP_UNLOCK, "0", 1, error) && writeNew(OTP_FULL, "0", 1, error);
}

bool otpDriverStart(std::string *error)
{
    Driver &d = gDriver;
    for (int i = 0; i < FILE_COUNT; i++) {
        std::string path = mifPath(kFiles[i]);
        d.files[i].fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (d.files[i].fd < 0) {
            *error = path + ": " + strerror(errno);
            closeDriver(d);
            return false;
        }
    }
    uint8_t image[OTP_WORDS * 4] = {};
    if (pread(d.files[ID_BIN].fd, image, sizeof image, 0) > 0)
        memcpy(d.memory.words, image, sizeof image);
    if (FILE *f = fopen(mifPath(OTP_LOCKS).c_str(), "r")) {
        unsigned mask = 0;
        if (fscanf(f, "%x", &mask) == 1)
            d.memory.lockMask = mask;
        fclose(f);
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, otpLeaseSignal());
    sigaddset(&set, SIGIO);
    d.signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    d.inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    d.stopFd = eventfd(0, EFD_CLOEXEC);
    if (d.signalFd < 0 || d.inotifyFd < 0 || d.stopFd < 0) {
        *error = std::string("driver set-up: ") + strerror(errno);
        closeDriver(d);
        return false;
    }
    for (int i = 0; i < FILE_COUNT; i++) {
        d.files[i].watch = inotify_add_watch(d.inotifyFd, mifPath(kFiles[i]).c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    }
    applyWrites(d);
    for (int i = 0; i < FILE_COUNT; i++)
        takeLease(d, FileIndex(i));
    if (!d.leases)
        simSay(kWho, "this file system takes no leases: writes are applied within %d ms", POLL_MS);
    d.thread = std::thread(run, std::ref(d));
    return true;
}

void otpDriverStop()
{
    Driver &d = gDriver;
    if (!d.thread.joinable())
        return;
    uint64_t one = 1;
    ssize_t ignored = write(d.stopFd, &one, sizeof one);
    (void)ignored;
    d.thread.join();
    closeDriver(d);
}
