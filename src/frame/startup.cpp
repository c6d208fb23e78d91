#include "frame/startup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/mif_utilfuncs.h"
#include "mif_version.h"
#include "platform/paths.h"

CommandLine parseCommandLine(int argc, char **argv)
{
    CommandLine line{false, nullptr, COMMAND_LINE_SERVE, nullptr};
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!arg || arg[0] != '-')
            continue;
        if (strcmp(arg, "-nowait") == 0) {
            line.noWait = true;
        } else if (line.action == COMMAND_LINE_SERVE) {
            if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
                line.action = COMMAND_LINE_HELP;
            else if (strcmp(arg, "--version") == 0)
                line.action = COMMAND_LINE_VERSION;
            else
                line.action = COMMAND_LINE_UNKNOWN, line.unknownOption = arg;
        }
    }
    int addressAt = line.noWait ? 2 : 1;
    if (argc > addressAt)
        line.listenAddress = argv[addressAt];
    return line;
}

// The text help2man turns into the manual page: keep the usage line, the
// option list and the sections in its form.
static const char kHelpText[] =
    "Usage: mifd [-nowait] [ADDRESS]\n"
    "The Machine Interface daemon: serves the appliance's service, test-lab,\n"
    "developer and production clients on TCP port 16176. It is started by the\n"
    "supervisor and synchronises with it before it serves.\n"
    "\n"
    "Options:\n"
    "  -nowait        serve without the start-up handshake with the supervisor\n"
    "  ADDRESS        listen on this IPv4 address or host name only (the first\n"
    "                 argument, or the one after -nowait; default: every interface)\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Environment:\n"
    "  MIF_ROOT=DIR   resolve every file, device and socket path of the appliance\n"
    "                 under DIR (a simulated appliance on a PC)\n"
    "  MIF_PORT=N     the TCP listen port (default 16176)\n"
    "\n"
    "Files:\n"
    "  /mnt/rwfs/data/mif_sleep.txt   the start delay in milliseconds (default 100)\n"
    "\n"
    "SIGTERM ends the daemon at once with status 15.\n";

int answerCommandLine(const CommandLine &line, bool developmentKeys, FILE *out, FILE *err)
{
    switch (line.action) {
    case COMMAND_LINE_HELP: fputs(kHelpText, out); return 0;
    case COMMAND_LINE_VERSION:
        fprintf(out, "mifd %s\n%s", MIF_VERSION,
                developmentKeys ? "Built with the development role keys: for development and simulation only.\n" : "");
        return 0;
    case COMMAND_LINE_UNKNOWN:
        fprintf(err, "mifd: unknown option %s (mifd --help lists the options)\n", line.unknownOption);
        return 2;
    case COMMAND_LINE_SERVE: break;
    }
    return 0;
}

static const unsigned kDefaultStartDelayMs = 100;

unsigned startDelayFromFile(const char *bytes, size_t count)
{
    if (!bytes || count == 0 || count >= 10)
        return kDefaultStartDelayMs;
    char text[10] = {};
    memcpy(text, bytes, count);
    // strtoul of a 32-bit unsigned long in base 0, the leading number only.
    const char *end = nullptr;
    bool outOfRange = false;
    uint32_t delay = strtoul32(text, &end, 0, &outOfRange);
    if (end == text)
        return 0;   // no digits: the conversion yields 0
    if (outOfRange)
        return kDefaultStartDelayMs;
    return int32_t(delay) < 0 ? kDefaultStartDelayMs : delay;
}

unsigned readStartDelay()
{
    FILE *file = fopen(mifPath("/mnt/rwfs/data/mif_sleep.txt").c_str(), "r");
    if (!file)
        return kDefaultStartDelayMs;
    char bytes[10];
    size_t count = fread(bytes, 1, sizeof bytes, file);
    fclose(file);
    return startDelayFromFile(bytes, count);
}
