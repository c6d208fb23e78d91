#include "logger_files.h"

#include <cinttypes>
#include <cstdio>

#include "frame/log_ring.h"

std::string formatLogLine(const std::string &time, uint32_t level, const std::string &source, std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    // A text of several lines stays one line of the log.
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::string line = time + " <" + std::to_string(level) + "> ";
    if (!source.empty())
        line += "[" + source + "] ";
    return line + text + "\n";
}

std::string formatBlackBoxLine(uint64_t machineMs, const std::string &code, const std::string &message)
{
    char stamp[24];
    snprintf(stamp, sizeof stamp, "%" PRIu64, machineMs);
    std::string line = std::string(stamp) + ";" + code + ";" + message;
    for (char &c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line + "\n";
}

std::vector<const char *> blackBoxFiles(uint32_t kind, const std::string &code)
{
    static const char kBlackBox[] = TECH_BOX_DIR "OperationalData.log";
    static const char kEvents[] = TECH_BOX_DIR "Events.log";
    static const char kErrors[] = TECH_BOX_DIR "ErrorEvents.log";
    switch (kind) {
    case LOG_KIND_BLACKBOX_RECORD:
        if (code == "RS" || code == "RE" || code == "TE")
            return {kBlackBox, kEvents};
        return {kBlackBox};
    case LOG_KIND_BLACKBOX_EVENT: return {kEvents};
    case LOG_KIND_BLACKBOX_ERROR: return {kErrors};
    default: return {};
    }
}
