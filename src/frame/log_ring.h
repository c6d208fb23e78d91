// The queue between the logger sink (log.h) and the logger client's sender
// thread (ipc/logger_client.h).
//
// A ring of LogEntry slots of fixed capacity that never blocks a caller:
// when it is full a new entry takes the place of the oldest entry of the
// least severe level queued (traces before notices before warnings), so a
// burst of traces cannot push out the errors and black-box records that
// explain a failure; those give way only to each other. A new entry less
// severe than everything queued is dropped.
// Entries own their text and data; a slot keeps its buffers until it is
// overwritten or the ring is freed.
#pragma once

#include <cstdint>

enum LogEntryKind : uint32_t {
    LOG_KIND_TEXT = 0,
    LOG_KIND_BLACKBOX_EVENT = 1,
    LOG_KIND_BLACKBOX_ERROR = 2,
    LOG_KIND_BLACKBOX_RECORD = 3,
    LOG_KIND_RAW = 4,
    LOG_KIND_EVENT_TRACE = 5,
};

enum { LOG_RING_MAX_CAPACITY = 500, LOG_TEXT_MAX = 4095 };

struct LogEntry {
    uint32_t sourceId;
    uint32_t zero;
    uint32_t kind;
    uint32_t level;
    uint64_t timestampUs;   // monotonic clock, microseconds
    char *text;             // owned, NUL-terminated; null for records
    uint32_t textLength;    // without the NUL
    uint8_t *data;          // owned; null for text entries
    uint32_t dataSize;
};

// Creates the ring (capacity capped at 500) and starts accepting entries
// stamped with `sourceId`. Only the first call acts; returns whether it did.
bool logRingStart(uint32_t sourceId, unsigned capacity);

// Whether entries are accepted (started and not stopped).
bool logRingRunning();

// The level threshold the logger reported; 0 while none is known.
uint32_t logThreshold();
// Stores a threshold and wakes the sender so that what queued meanwhile goes.
void logSetThreshold(uint32_t level);

// Sender side. Waits until there may be work: an entry queued while a
// threshold is known, a threshold set, or the ring being stopped. Returns
// false once the ring is stopped and empty, true otherwise.
bool logRingWaitForWork();

// Takes the oldest entry, giving the caller private heap copies of its text
// and data (free them with logEntryRelease). Returns false when empty.
bool logRingTake(LogEntry *out);
void logEntryRelease(LogEntry *entry);

// Stops accepting entries and wakes the sender to drain what is queued.
void logRingStop();

// Frees every slot and the ring; later calls drop their entries until the
// next logRingStart.
void logRingFree();

// For tests: the number of queued entries and a copy of the i-th oldest
// (0-based) without taking it; false when there is no such entry.
unsigned logRingCount();
bool logRingPeek(unsigned i, LogEntry *out);
