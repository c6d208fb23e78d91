#include "sim_console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::atomic<bool> gVerbose{false};

void sayv(const char *who, const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    std::string line = std::string("[") + who + "] " + text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    line += '\n';
    // One write per line, so that lines of the peer processes never mix.
    ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace

void simSetVerbose(bool verbose) { gVerbose = verbose; }
bool simVerbose() { return gVerbose; }

void simSay(const char *who, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    sayv(who, format, args);
    va_end(args);
}

void simTrace(const char *who, const char *format, ...)
{
    if (!gVerbose)
        return;
    va_list args;
    va_start(args, format);
    sayv(who, format, args);
    va_end(args);
}
