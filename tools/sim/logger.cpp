// The logger "LoggerD": tells the daemon its level threshold, announces
// changes of it, and writes what the daemon logs.
//
// Text entries go to /var/log/mifd.log, one readable line each (local time,
// level, text). Black-box entries go to the service logs the daemon hands
// to service clients, as "<machine ms>;<code>;<message>" lines: the
// daemon's records to OperationalData.log (the black box), its service
// records (repair start and end, test events) to Events.log as well;
// machine control's events to Events.log and its errors to ErrorEvents.log.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>

#include "blackbox_record.h"
#include "frame/log_ring.h"
#include "ipc/ipc.h"
#include "logger_files.h"
#include "machine_clock.h"
#include "peer.h"
#include "peers.h"
#include "platform/paths.h"
#include "requests/request_codes.h"
#include "sim_console.h"

namespace {

const char kWho[] = LOGGER_PROCESS_NAME;

std::mutex gLock;          // the threshold and the files
uint32_t gThreshold = LOGGER_DEFAULT_THRESHOLD;

std::string sourceName(uint32_t id)
{
    switch (id) {
    case MIF_PROCESS_ID: return MIF_PROCESS_NAME;
    case MCL_PROCESS_ID: return MCL_PROCESS_NAME;
    case SUPERVISOR_PROCESS_ID: return SUPERVISOR_PROCESS_NAME;
    case NETLINK_PROCESS_ID: return NETLINK_PROCESS_NAME;
    default: return "process " + std::to_string(id);
    }
}

void appendLine(const char *appliancePath, const std::string &line)
{
    FILE *f = fopen(mifPath(appliancePath).c_str(), "a");
    if (!f)
        return;
    fputs(line.c_str(), f);
    fclose(f);
}

std::string localTime()
{
    timeval now;
    gettimeofday(&now, nullptr);
    tm parts;
    localtime_r(&now.tv_sec, &parts);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    snprintf(text + n, sizeof text - n, ".%03ld", long(now.tv_usec / 1000));
    return text;
}

void writeText(const LogHeader *hdr, const uint8_t *payload, int len)
{
    std::string text = payload ? std::string(reinterpret_cast<const char *>(payload), strnlen(reinterpret_cast<const char *>(payload), size_t(len))) : "";
    std::string line = formatLogLine(localTime(), hdr->level, hdr->senderId == MIF_PROCESS_ID ? "" : sourceName(hdr->senderId), text);
    appendLine(MIFD_LOG_FILE, line);
    simTrace(kWho, "%s", line.c_str());
}

void writeBlackBox(const LogHeader *hdr, const uint8_t *payload, int len)
{
    std::string code, message;
    if (!parseBlackBoxRecord(payload, len, &code, &message)) {
        simSay(kWho, "malformed black-box entry of %d bytes from %s", len, sourceName(hdr->senderId).c_str());
        return;
    }
    std::string line = formatBlackBoxLine(machineTimeMs(), code, message);
    for (const char *file : blackBoxFiles(hdr->kind, code))
        appendLine(file, line);
    simTrace(kWho, "black box: %s", line.c_str());
}

void onLog(const void *msg, const void *payload, int len)
{
    const LogHeader *hdr = static_cast<const LogHeader *>(msg);
    const uint8_t *bytes = static_cast<const uint8_t *>(payload);
    std::lock_guard<std::mutex> lock(gLock);
    switch (hdr->kind) {
    case LOG_KIND_TEXT:
    case LOG_KIND_EVENT_TRACE: writeText(hdr, bytes, len); break;
    case LOG_KIND_BLACKBOX_EVENT:
    case LOG_KIND_BLACKBOX_ERROR:
    case LOG_KIND_BLACKBOX_RECORD: writeBlackBox(hdr, bytes, len); break;
    case LOG_KIND_RAW:
        appendLine(MIFD_LOG_FILE, formatLogLine(localTime(), hdr->level, sourceName(hdr->senderId),
                                                "(" + std::to_string(len) + " bytes of raw data)"));
        break;
    default: simSay(kWho, "entry of unknown kind %u dropped", hdr->kind); break;
    }
}

void onRequest(const void *msg, const void *, int, ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    const RequestHeader *hdr = static_cast<const RequestHeader *>(msg);
    if (hdr->requestCode != LOGGER_LEVEL_QUERY) {
        outHdr->status = 1;
        return;
    }
    uint32_t *threshold = static_cast<uint32_t *>(malloc(sizeof(uint32_t)));
    if (!threshold) {
        outHdr->status = 1;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        *threshold = gThreshold;
    }
    *outPayload = threshold;
    *outLen = sizeof *threshold;
    simTrace(kWho, "level query from %s: %u", sourceName(hdr->senderId).c_str(), *threshold);
}

bool onControl(const std::vector<std::string> &words)
{
    if (words[0] != "threshold")
        return false;
    char *end = nullptr;
    unsigned long level = words.size() == 2 ? strtoul(words[1].c_str(), &end, 10) : 99;
    if (words.size() != 2 || *end || level > 7) {
        simSay(kWho, "threshold takes a level from 0 to 7");
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        gThreshold = uint32_t(level);
    }
    EventHeader hdr{LOGGER_TOPIC, 0, LOGGER_EVENT_THRESHOLD};
    uint32_t payload = uint32_t(level);
    IpcStatus rc = IPC_Publish(&hdr, &payload, sizeof payload);
    simSay(kWho, "threshold %lu%s", level, rc == IPC_OK ? "" : " (not published)");
    return true;
}

}  // namespace

int runLogger(int, char **)
{
    peerProcessSetup();
    mkdir(mifPath("/var").c_str(), 0755);
    mkdir(mifPath("/var/log").c_str(), 0755);
    if (!peerOpenEndpoints(kWho, LOGGER_PROCESS_ID,
                           {[] { return IPC_OpenPublisher(); }, [] { return IPC_OpenLogServer(onLog); },
                            [] { return IPC_OpenReplyServer(onRequest); }}))
        return 1;
    simSay(kWho, "logger ready, threshold %u, writing %s", unsigned(LOGGER_DEFAULT_THRESHOLD),
           mifPath(MIFD_LOG_FILE).c_str());

    PeerLoop loop;
    loop.name = kWho;
    loop.tickMs = 1000;
    loop.onControl = onControl;
    return servePeer(loop);
}
