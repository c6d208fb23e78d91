// The logger client's two threads and their start and stop.
#include "ipc/logger_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "frame/log_ring.h"
#include "ipc/ipc.h"

namespace {

const char *const kLogger = "LoggerD";

enum : uint32_t { LEVEL_QUERY_CODE = 0 };

// Pauses after failed level queries, growing from the first to the last. A
// query to an absent logger waits out the reply time-out holding the
// process's request lock; the pauses give every other request of the process
// its turn in between.
constexpr std::chrono::milliseconds kFirstQueryPause{1000}, kLongestQueryPause{5000};

struct LoggerClient {
    std::mutex lock;                  // guards everything below
    std::condition_variable stopped;  // wakes the level-query thread's pause
    bool everStarted = false;         // LOGGER_Start acts only once
    bool running = false;             // between LOGGER_Start and LOGGER_Stop
    bool stopping = false;
    std::thread levelQuery;
    std::thread sender;
};

LoggerClient client;

bool stopRequested()
{
    std::lock_guard<std::mutex> guard(client.lock);
    return client.stopping;
}

// One level query. The threshold is the first word of a successful reply;
// a reply too short to hold it is a failed query.
bool queryLevel(uint32_t *level)
{
    RequestHeader request{};
    request.requestCode = LEVEL_QUERY_CODE;
    ReplyHeader reply{};
    void *payload = nullptr;
    int length = 0;
    IpcStatus status = IPC_Request(kLogger, &request, nullptr, 0, &reply, &payload, &length);
    bool ok = status == IPC_OK && reply.status == 0 && payload && length >= 4;
    if (ok)
        memcpy(level, payload, sizeof *level);
    free(payload);
    return ok;
}

void levelQueryThread()
{
    std::chrono::milliseconds pause = kFirstQueryPause;
    while (!stopRequested()) {
        uint32_t level = 0;
        if (queryLevel(&level)) {
            logSetThreshold(level);   // also wakes the sender for what queued meanwhile
            return;
        }
        std::unique_lock<std::mutex> guard(client.lock);
        client.stopped.wait_for(guard, pause, [] { return client.stopping; });
        pause = std::min(pause * 2, kLongestQueryPause);
    }
}

// Pushes one entry with the payload of its kind. Text goes only while its
// level is within a known threshold; unknown kinds are dropped.
void sendEntry(const LogEntry &entry)
{
    const void *payload = nullptr;
    uint32_t length = 0;
    uint8_t *joined = nullptr;

    switch (entry.kind) {
    case LOG_KIND_TEXT:
    case LOG_KIND_EVENT_TRACE: {
        uint32_t limit = logThreshold();
        if (!entry.text || limit == 0 || entry.level > limit)
            return;
        payload = entry.text;
        length = entry.textLength + 1;
        break;
    }
    case LOG_KIND_BLACKBOX_EVENT:
    case LOG_KIND_BLACKBOX_ERROR:
        // The data first, then the text with its NUL.
        if (entry.text) {
            length = entry.dataSize + entry.textLength + 1;
            joined = static_cast<uint8_t *>(malloc(length));
            if (!joined)
                return;
            if (entry.dataSize)
                memcpy(joined, entry.data, entry.dataSize);
            memcpy(joined + entry.dataSize, entry.text, entry.textLength + 1);
            payload = joined;
        } else {
            payload = entry.data;
            length = entry.data ? entry.dataSize : 0;
        }
        break;
    case LOG_KIND_BLACKBOX_RECORD:
    case LOG_KIND_RAW:
        payload = entry.data;
        length = entry.data ? entry.dataSize : 0;
        break;
    default:
        return;
    }

    LogHeader header{};
    header.senderId = entry.sourceId;
    header.kind = entry.kind;
    header.level = entry.level;
    logHeaderSetTimestamp(&header, entry.timestampUs);
    // A push that fails or times out loses the entry; the log has nowhere
    // better to report it.
    (void)IPC_PushLog(kLogger, &header, payload, int(length));
    free(joined);
}

void senderThread()
{
    while (logRingWaitForWork()) {
        LogEntry entry;
        while (logRingTake(&entry)) {
            sendEntry(entry);
            logEntryRelease(&entry);
        }
    }
}

} // namespace

void LOGGER_Start(int sourceId, unsigned capacity)
{
    std::lock_guard<std::mutex> guard(client.lock);
    if (client.everStarted)
        return;
    client.everStarted = true;
    if (!logRingStart(uint32_t(sourceId), capacity))
        return;
    client.running = true;
    client.stopping = false;
    client.levelQuery = std::thread(levelQueryThread);
    client.sender = std::thread(senderThread);
}

void LOGGER_Stop()
{
    std::thread levelQuery, sender;
    {
        std::lock_guard<std::mutex> guard(client.lock);
        if (!client.running)
            return;
        client.running = false;
        client.stopping = true;
        client.stopped.notify_all();
        levelQuery = std::move(client.levelQuery);
        sender = std::move(client.sender);
    }
    // The level query gives up once the attempt in flight returns, so no
    // thread of the client outlives it.
    if (levelQuery.joinable())
        levelQuery.join();
    // Stopping the ring wakes the sender, which pushes what is still queued
    // (each push bounded by the log push time-out) and ends.
    logRingStop();
    if (sender.joinable())
        sender.join();
    logRingFree();
}
