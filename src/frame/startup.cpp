#include "frame/startup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/mif_utilfuncs.h"
#include "platform/paths.h"

CommandLine parseCommandLine(int argc, char **argv)
{
    CommandLine line{false, nullptr};
    for (int i = 1; i < argc; i++) {
        if (argv[i] && strcmp(argv[i], "-nowait") == 0)
            line.noWait = true;
    }
    int addressAt = line.noWait ? 2 : 1;
    if (argc > addressAt)
        line.listenAddress = argv[addressAt];
    return line;
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
