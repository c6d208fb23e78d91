#include "sim_root.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "input_devices.h"
#include "logger_files.h"
#include "machine_clock.h"
#include "media.h"
#include "otp.h"
#include "platform/paths.h"

namespace {

const char *const kDirectories[] = {
    "/dev",
    "/dev/input",
    "/sys",
    "/sys/uid",
    "/sys/uid/otp",
    "/sys/module",
    "/sys/module/unique_id",
    "/sys/module/unique_id/parameters",
    "/sys/module/otp",
    "/sys/module/otp/parameters",
    "/opt",
    "/tmp",
    "/run",
    "/var",
    "/var/log",
    "/mnt",
    "/mnt/rwfs",
    "/mnt/rwfs/data",
    "/mnt/rwfs/data/tech_box",
    "/mnt/rwfs/data/system_config",
};

// The version script of the appliance writes /tmp/SW_VERSION; this one
// finds the root it lives in from its own path.
const char kVersionScript[] =
    "#!/bin/sh\n"
    "# Writes the front-end software version, as the appliance's script does.\n"
    "root=$(cd \"$(dirname \"$0\")/..\" && pwd)\n"
    "printf '%s\\n' '" SEED_SW_VERSION_LINE "' > \"$root/tmp/SW_VERSION\"\n";

bool writeIfMissing(const char *appliancePath, const std::string &content, mode_t mode, std::string *error)
{
    std::string path = mifPath(appliancePath);
    if (access(path.c_str(), F_OK) == 0)
        return true;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    bool ok = fd >= 0 && write(fd, content.data(), content.size()) == ssize_t(content.size());
    if (fd >= 0)
        close(fd);
    if (!ok)
        *error = path + ": " + strerror(errno);
    return ok;
}

std::string line(uint64_t ms, const char *rest)
{
    char text[256];
    snprintf(text, sizeof text, "%" PRIu64 ";%s\n", ms, rest);
    return text;
}

// Service logs of an appliance that has worked for a while: entries from
// long ago and from the last hour and a half of machine time, so that the
// time window of service clients shows on them.
bool seedServiceLogs(std::string *error)
{
    const uint64_t now = MACHINE_CLOCK_FRESH_MS;
    struct Seed {
        const char *name;
        std::string content;
    };
    const Seed seeds[] = {
        {"OperationalData.log", line(now - 30000000, "RS;commissioning") + line(now - 29990000, "RE;commissioning,ACK") +
                                    line(now - 5400000, "TE;operating hours check") +
                                    line(now - 600000, "RS;MCH_SET_SERIAL," SEED_SERIAL) +
                                    line(now - 599000, "RE;MCH_SET_SERIAL," SEED_SERIAL)},
        {"Events.log", line(now - 31000000, "66;LID,CLOSE") + line(now - 30999000, "50;BOWL,CLOSE") +
                           line(now - 3600000, "69;LID,OPEN") + line(now - 3500000, "66;LID,CLOSE") +
                           line(now - 120000, "50;BOWL,CLOSE")},
        {"ErrorEvents.log", line(now - 20000000, "22;machine error 22") + line(now - 4000000, "2;machine error 2")},
        {"EventList.log", line(now - 30000000, "EL;event list created")},
        {"RepaEvents.log", line(now - 29000000, "RE;MCH_INSTALL_DATA,ACK,RCPK:DP-2025.10.0")},
        {"Matrix.log", line(now - 28000000, "MX;1,0,0,1")},
    };
    for (const Seed &seed : seeds) {
        std::string path = std::string(TECH_BOX_DIR) + seed.name;
        if (!writeIfMissing(path.c_str(), seed.content, 0644, error))
            return false;
    }
    return true;
}

}  // namespace

std::string simRequireRoot(std::string *error)
{
    std::string root = mifRoot();
    if (root.empty())
        *error = "MIF_ROOT is not set (or use --root DIR): the simulator works only in a directory of its own";
    return root;
}

bool seedApplianceRoot(std::string *error)
{
    for (const char *dir : kDirectories) {
        std::string path = mifPath(dir);
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = path + ": " + strerror(errno);
            return false;
        }
    }
    return createInputDevices(error) && createOutputDevices(error) && otpCreateFiles(error) &&
           writeIfMissing(SW_VERSION_SCRIPT, kVersionScript, 0755, error) && seedServiceLogs(error) &&
           writeIfMissing("/mnt/rwfs/data/system_config/qxsn.dat", SEED_SERIAL, 0644, error) &&
           writeIfMissing("/mnt/rwfs/data/system_config/scali.dat", "0,1200;1000,81200;", 0644, error) &&
           writeIfMissing("/mnt/rwfs/data/system_config/qxip", "192.168.10.20", 0644, error) &&
           writeIfMissing("/mnt/rwfs/data/datpak.ver", SEED_DATA_PACKAGE_VERSION, 0644, error) &&
           // No start delay: the daemon under simulation starts at once.
           writeIfMissing("/mnt/rwfs/data/mif_sleep.txt", "0", 0644, error);
}
