#include "machine_clock.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/paths.h"

namespace {

const char kClockFile[] = "/run/machine-clock";

struct ClockAnchor {
    bool known = false;
    uint64_t machineMs = 0;
    int64_t monotonicMs = 0;
};

std::mutex gLock;
ClockAnchor gAnchor;

bool readAnchor(ClockAnchor *anchor)
{
    FILE *f = fopen(mifPath(kClockFile).c_str(), "r");
    if (!f)
        return false;
    unsigned long long machine = 0;
    long long monotonic = 0;
    bool ok = fscanf(f, "%llu %lld", &machine, &monotonic) == 2;
    fclose(f);
    if (ok) {
        anchor->known = true;
        anchor->machineMs = machine;
        anchor->monotonicMs = monotonic;
    }
    return ok;
}

// Replaces the file whole (a temporary file renamed over it), so that a
// process reading it meanwhile never sees half a line.
bool writeAnchor(const ClockAnchor &anchor)
{
    std::string path = mifPath(kClockFile);
    std::string temp = path + "." + std::to_string(getpid());
    FILE *f = fopen(temp.c_str(), "w");
    if (!f)
        return false;
    bool ok = fprintf(f, "%" PRIu64 " %" PRId64 "\n", anchor.machineMs, anchor.monotonicMs) > 0;
    ok = fclose(f) == 0 && ok;
    if (ok)
        ok = rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

uint64_t timeAt(const ClockAnchor &anchor, int64_t monotonic)
{
    // After a reboot of the host the monotonic clock starts again below the
    // anchor: the machine time then goes on from the anchor itself.
    return anchor.machineMs + uint64_t(monotonic >= anchor.monotonicMs ? monotonic - anchor.monotonicMs : 0);
}

}  // namespace

bool machineClockStart()
{
    std::lock_guard<std::mutex> lock(gLock);
    ClockAnchor previous;
    int64_t now = monotonicMs();
    ClockAnchor fresh;
    fresh.known = true;
    fresh.machineMs = readAnchor(&previous) ? timeAt(previous, now) : MACHINE_CLOCK_FRESH_MS;
    fresh.monotonicMs = now;
    gAnchor = fresh;
    return writeAnchor(fresh);
}

uint64_t machineTimeMs()
{
    std::lock_guard<std::mutex> lock(gLock);
    if (!gAnchor.known && !readAnchor(&gAnchor)) {
        gAnchor.known = true;
        gAnchor.machineMs = MACHINE_CLOCK_FRESH_MS;
        gAnchor.monotonicMs = monotonicMs();
        writeAnchor(gAnchor);
    }
    return timeAt(gAnchor, monotonicMs());
}
