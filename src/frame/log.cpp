// Console sink, logger sink and the ring between the logger sink and the
// logger client's sender thread.
#include "frame/log.h"
#include "frame/log_ring.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/paths.h"

// ---------------------------------------------------------------- console

// Chosen once by openConsole and never closed; standard error until then.
static std::atomic<FILE *> consoleStream{nullptr};

unsigned consoleLog(unsigned level, const char *format, ...)
{
    if (level > 2 || !format)
        return level;
    FILE *out = consoleStream.load();
    if (!out)
        out = stderr;
    va_list ap;
    va_start(ap, format);
    vfprintf(out, format, ap);
    va_end(ap);
    fflush(out);
    return level;
}

void openConsole()
{
    FILE *tty = fopen(mifPath("/dev/tty0").c_str(), "a");
    if (!tty) {
        consoleStream = stderr;
        return;
    }
    setvbuf(tty, nullptr, _IONBF, 0);
    consoleStream = tty;
    consoleLog(0, "\033[2J\033[;H");
}

// ------------------------------------------------------------------- ring

namespace {

struct LogRing {
    std::mutex lock;                 // the queue lock
    std::condition_variable wake;    // parks the sender
    std::vector<LogEntry> slots;     // empty while no ring exists
    unsigned read = 0;               // oldest queued entry
    unsigned count = 0;              // queued entries
    bool running = false;
    bool senderWaiting = true;
    uint32_t sourceId = 0;
};

LogRing ring;
std::atomic<uint32_t> threshold{0};

void freeSlot(LogEntry &slot)
{
    free(slot.text);
    free(slot.data);
    slot = LogEntry{};
}

// How readily an entry is given up when the ring is full: traces first,
// then notices, then warnings; errors and black-box records (the service
// history, and what explains a failure) only to make room for each other.
enum EvictionRank { KEEP_LONGEST = 0, RANK_WARNING = 1, RANK_NOTICE = 2, RANK_TRACE = 3 };

EvictionRank evictionRank(uint32_t kind, uint32_t level)
{
    if (kind != LOG_KIND_TEXT || level <= 3)
        return KEEP_LONGEST;
    if (level == 4)
        return RANK_WARNING;
    return level == 5 ? RANK_NOTICE : RANK_TRACE;
}

// The queue position (0 = oldest) of the entry a full ring gives up for a
// new entry of `rank`: the oldest of the most readily given up rank present.
// -1 when every queued entry is kept longer than the new one, which is then
// dropped instead.
int evictionVictim(EvictionRank rank)
{
    const unsigned capacity = unsigned(ring.slots.size());
    int victim = -1;
    int victimRank = -1;
    for (unsigned i = 0; i < ring.count; i++) {
        const LogEntry &entry = ring.slots[(ring.read + i) % capacity];
        int entryRank = evictionRank(entry.kind, entry.level);
        if (entryRank > victimRank) {
            victim = int(i);
            victimRank = entryRank;
        }
    }
    return victimRank >= int(rank) ? victim : -1;
}

// Removes the entry at queue position `position`, closing the gap.
void evict(unsigned position)
{
    const unsigned capacity = unsigned(ring.slots.size());
    freeSlot(ring.slots[(ring.read + position) % capacity]);
    for (unsigned i = position; i + 1 < ring.count; i++)
        std::swap(ring.slots[(ring.read + i) % capacity], ring.slots[(ring.read + i + 1) % capacity]);
    ring.count--;
}

// Appends under the queue lock. A full ring never blocks the caller: it
// gives up one entry, the new one or a queued one (evictionVictim). Takes
// ownership of text and data either way.
void enqueue(uint32_t kind, uint32_t level, char *text, uint32_t textLength, uint8_t *data,
             uint32_t dataSize)
{
    std::lock_guard<std::mutex> guard(ring.lock);
    if (!ring.running || ring.slots.empty()) {
        free(text);
        free(data);
        return;
    }
    unsigned capacity = unsigned(ring.slots.size());
    if (ring.count == capacity) {
        int victim = evictionVictim(evictionRank(kind, level));
        if (victim < 0) {
            free(text);
            free(data);
            return;
        }
        evict(unsigned(victim));
    }
    unsigned write = (ring.read + ring.count) % capacity;
    LogEntry &slot = ring.slots[write];
    freeSlot(slot);
    slot = LogEntry{ring.sourceId, 0, kind, level, monotonicUs(), text, textLength, data, dataSize};
    ring.count++;
    if (threshold.load() != 0 && ring.senderWaiting)
        ring.wake.notify_one();
}

bool copyEntry(const LogEntry &from, LogEntry *to)
{
    *to = from;
    to->text = nullptr;
    to->data = nullptr;
    if (from.text) {
        to->text = static_cast<char *>(malloc(from.textLength + 1));
        if (!to->text)
            return false;
        memcpy(to->text, from.text, from.textLength + 1);
    }
    if (from.data) {
        to->data = static_cast<uint8_t *>(malloc(from.dataSize ? from.dataSize : 1));
        if (!to->data) {
            free(to->text);
            to->text = nullptr;
            return false;
        }
        memcpy(to->data, from.data, from.dataSize);
    }
    return true;
}

} // namespace

bool logRingStart(uint32_t sourceId, unsigned capacity)
{
    std::lock_guard<std::mutex> guard(ring.lock);
    if (ring.running || !ring.slots.empty())
        return false;
    if (capacity > LOG_RING_MAX_CAPACITY)
        capacity = LOG_RING_MAX_CAPACITY;
    if (capacity == 0)
        capacity = 1;
    try {
        ring.slots.assign(capacity, LogEntry{});
    } catch (const std::bad_alloc &) {
        return false;   // no ring: the daemon runs without its log
    }
    ring.read = ring.count = 0;
    ring.sourceId = sourceId;
    ring.senderWaiting = true;
    ring.running = true;
    return true;
}

bool logRingRunning()
{
    std::lock_guard<std::mutex> guard(ring.lock);
    return ring.running;
}

uint32_t logThreshold() { return threshold.load(); }

void logSetThreshold(uint32_t level)
{
    std::lock_guard<std::mutex> guard(ring.lock);
    threshold = level;
    ring.wake.notify_one();
}

bool logRingWaitForWork()
{
    std::unique_lock<std::mutex> guard(ring.lock);
    // Nothing goes out while no threshold is known; at stop, what is queued
    // is drained whatever the threshold.
    while (ring.running && (ring.count == 0 || threshold.load() == 0)) {
        ring.senderWaiting = true;
        ring.wake.wait(guard);
    }
    ring.senderWaiting = false;
    return ring.running || ring.count > 0;
}

bool logRingTake(LogEntry *out)
{
    std::lock_guard<std::mutex> guard(ring.lock);
    if (ring.count == 0 || ring.slots.empty())
        return false;
    const LogEntry &slot = ring.slots[ring.read];
    ring.read = (ring.read + 1) % unsigned(ring.slots.size());
    ring.count--;
    if (!copyEntry(slot, out))
        *out = LogEntry{};   // out of memory: the entry is lost, the caller skips it
    return true;
}

void logEntryRelease(LogEntry *entry)
{
    if (entry)
        freeSlot(*entry);
}

void logRingStop()
{
    std::lock_guard<std::mutex> guard(ring.lock);
    ring.running = false;
    ring.wake.notify_all();
}

void logRingFree()
{
    std::lock_guard<std::mutex> guard(ring.lock);
    ring.running = false;
    for (LogEntry &slot : ring.slots)
        freeSlot(slot);
    ring.slots.clear();
    ring.slots.shrink_to_fit();
    ring.read = ring.count = 0;
    ring.wake.notify_all();
}

unsigned logRingCount()
{
    std::lock_guard<std::mutex> guard(ring.lock);
    return ring.count;
}

bool logRingPeek(unsigned i, LogEntry *out)
{
    std::lock_guard<std::mutex> guard(ring.lock);
    if (i >= ring.count)
        return false;
    return copyEntry(ring.slots[(ring.read + i) % ring.slots.size()], out);
}

// ------------------------------------------------------------ logger sink

void LOGGER_LogMessage(int level, int /*ignored*/, const char *format, ...)
{
    if (!format || !logRingRunning())
        return;
    // Disabled levels cost one comparison: the filter comes before formatting.
    uint32_t limit = threshold.load();
    if (limit != 0 && uint32_t(level) > limit)
        return;

    static std::mutex formatLock;
    static char formatBuffer[LOG_TEXT_MAX + 1];
    char *text = nullptr;
    int length;
    {
        std::lock_guard<std::mutex> guard(formatLock);
        va_list ap;
        va_start(ap, format);
        length = vsnprintf(formatBuffer, sizeof formatBuffer, format, ap);
        va_end(ap);
        if (length <= 0)
            return;
        if (length > LOG_TEXT_MAX)
            length = LOG_TEXT_MAX;
        text = static_cast<char *>(malloc(size_t(length) + 1));
        if (!text)
            return;
        memcpy(text, formatBuffer, size_t(length) + 1);
    }
    enqueue(LOG_KIND_TEXT, uint32_t(level), text, uint32_t(length), nullptr, 0);
}

void blankControlBytes(char *text)
{
    if (!text)
        return;
    for (; *text; text++) {
        unsigned char byte = static_cast<unsigned char>(*text);
        if (byte < 0x20 || byte == 0x7f)
            *text = ' ';
    }
}

void LOGGER_LogBlackboxRecord(const char *code, const char *message)
{
    if (!logRingRunning())
        return;
    if (!code)
        code = "";
    if (!message)
        message = "";
    // Two zero words, the two lengths with their NULs, then the two texts.
    uint32_t codeLength = uint32_t(strlen(code)) + 1;
    uint32_t messageLength = uint32_t(strlen(message)) + 1;
    uint32_t size = 16 + codeLength + messageLength;
    uint8_t *data = static_cast<uint8_t *>(calloc(1, size));
    if (!data)
        return;
    memcpy(data + 8, &codeLength, 4);
    memcpy(data + 12, &messageLength, 4);
    char *codeCopy = reinterpret_cast<char *>(data + 16);
    char *messageCopy = codeCopy + codeLength;
    memcpy(codeCopy, code, codeLength);
    memcpy(messageCopy, message, messageLength);
    blankControlBytes(codeCopy);
    blankControlBytes(messageCopy);
    enqueue(LOG_KIND_BLACKBOX_RECORD, 0, nullptr, 0, data, size);
}
