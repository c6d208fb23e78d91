#include "commands/service/install_data.h"

#include <cinttypes>
#include <cstdio>

#include "commands/service/file_commands.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "session/command_table.h"

static const char *const kVersionFile = "/mnt/rwfs/data/datpak.ver";
static const char *const kDataDirectory = "/mnt/rwfs/data";
static const char *const kRepairLogDirectory = "/mnt/rwfs/data/tech_box/";
static const char *const kRepairLogName = "RepaEvents.log";

// The line exactly as the appliance runs it, runs of blanks included; only
// the data directory of the `cd` is a parameter, so that a simulated
// appliance unpacks under its own root.
static const char *const kInstallFormat =
    "checkpak %s       && cd %s && rm -f %s          && tar zxf %s        && sync              && echo "
    "\"0x%016llX;RE;MCH_INSTALL_DATA,ACK,RCPK:$(cat %s)\" >> %s%s && rm -rf %s*        || ( rm -rf %s* ; exit "
    "1 ) ";

std::string buildInstallCommandLine(const char *packageFile, uint64_t machineTimeMs)
{
    const std::string package = shellWord(mifPath(packageFile));
    const std::string version = shellWord(mifPath(kVersionFile));
    const std::string data = shellWord(mifPath(kDataDirectory));
    const std::string logDirectory = shellWord(mifPath(kRepairLogDirectory));
    const unsigned long long time = machineTimeMs;
    std::string line(512, '\0');
    for (;;) {
        int length = snprintf(line.data(), line.size(), kInstallFormat, package.c_str(), data.c_str(),
                              version.c_str(), package.c_str(), time, version.c_str(), logDirectory.c_str(),
                              kRepairLogName, package.c_str(), package.c_str());
        if (length < 0)
            return "";
        if (size_t(length) < line.size()) {
            line.resize(size_t(length));
            return line;
        }
        line.resize(size_t(length) + 1);
    }
}

// Records the failure in the black box and answers it.
static Command *refuse(const Command *request, const char *reason, const char *answerText)
{
    std::string record = std::string("MCH_INSTALL_DATA,") + reason;
    LOGGER_LogBlackboxRecord("RE", record.c_str());
    return createStringCommand(request->index, request->tag, "%s", answerText);
}

Command *installDataPackage(Command *request, int socket, uint64_t (*machineTime)())
{
    LOGGER_LogBlackboxRecord("RS", "MCH_INSTALL_DATA");
    const uint32_t total = request->length;

    if (total > uint32_t(INSTALL_MAX_PAYLOAD)) {
        receiveFile(socket, "/dev/null", total, nullptr);
        return refuse(request, "NAK: File too large", "NAK: File too large");
    }
    const char *package = getCmdFilename(request);
    if (!package || !*package) {
        // The payload is still on the stream: take it so the next frame
        // is read where the client expects it.
        receiveFile(socket, "/dev/null", total, nullptr);
        return refuse(request, "NAK: No filename specified for command", "NAK: No filename specified for command");
    }
    const std::string signature = std::string(package) + INSTALL_SIGNATURE_SUFFIX;

    // A payload too short for a signature cannot hold a package either;
    // exactly the announced bytes are taken.
    if (total < uint32_t(INSTALL_SIGNATURE_SIZE)) {
        receiveFile(socket, "/dev/null", total, nullptr);
        return refuse(request, "NAK: Error receiving data", "NAK: Error receiving data!");
    }
    const uint32_t packageSize = total - INSTALL_SIGNATURE_SIZE;
    if (receiveFile(socket, signature.c_str(), INSTALL_SIGNATURE_SIZE, nullptr) < uint32_t(INSTALL_SIGNATURE_SIZE)) {
        // The package bytes follow the signature on the stream: drop them.
        receiveFile(socket, "/dev/null", packageSize, nullptr);
        return refuse(request, "NAK: Error receiving data", "NAK: Error receiving data!");
    }
    if (receiveFile(socket, package, packageSize, nullptr) < packageSize)
        return refuse(request, "NAK: Error receiving data", "NAK: Error receiving data!");

    const std::string line = buildInstallCommandLine(package, machineTime ? machineTime() : 0);
    if (line.empty())
        return refuse(request, "NAK: Unsuccessful", "NAK: Unsuccessful");
    consoleLog(2, "%s\n", package);
    if (runShellCommand(line.c_str()) != 0)
        return refuse(request, "NAK: Unsuccessful", "NAK: Unsuccessful");
    return createAckCommand(request->index, request->tag);
}
