// The machine-state log: a bounded, in-memory, first-in-first-out record of
// what happened on the appliance (touches, knob input, GUI changes, lid and
// bowl events, errors, motor data), fetched and emptied by MCH_GET_STATE.
//
// Each entry is one or more records "TIMESTAMP:CODE:FIELDS;" built with a
// printf-style format; the log adds no separator of its own, so the log
// reads as the records joined end to end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "frame/log.h"

// The one instance lives from its first use to process exit. Every member
// function takes the mutex for its whole duration.
class MIF_GetMachineState {
public:
    static constexpr uint32_t MaxEntries = 0xFFFF;
    static constexpr int MaxEntrySize = 256;   // an entry holds at most 255 characters

    static MIF_GetMachineState &instance();

    virtual ~MIF_GetMachineState() = default;
    MIF_GetMachineState(const MIF_GetMachineState &) = delete;
    MIF_GetMachineState &operator=(const MIF_GetMachineState &) = delete;

    // Appends one entry, dropping the oldest when the log is full. An entry
    // of MaxEntrySize characters or more is not stored (logStateString
    // refuses those before they get here). False, with the log as it was,
    // when the entry is not stored: too long, or out of memory.
    bool append(const char *entry, size_t length);
    uint32_t entryCount();
    // Every entry from oldest to newest in one buffer (see getStateString);
    // empties the log. Null, with the log left as it was, when memory runs
    // out.
    char *takeAll(uint32_t *textLength);

private:
    MIF_GetMachineState() = default;

    std::mutex lock_;
    // The entries' text end to end, oldest first, and each entry's length.
    // One byte of bookkeeping per entry, where a string per entry would cost
    // a string object and a heap block: a full log then takes little more
    // memory than its text, however short its entries.
    std::deque<char> text_;
    std::deque<uint8_t> lengths_;
};

// Formats one entry and appends it. Returns its length, or -1 when there is
// no format, formatting fails, memory runs out (nothing is stored) or the
// entry has 256 characters or more (then nothing is stored and a line goes
// to standard output).
int logStateString(const char *format, ...) MIF_PRINTF(1, 2);

int getStateEntryCount();

// All entries concatenated, oldest first, NUL-terminated; empties the log.
// The caller owns the buffer (free). It is allocated as a command payload
// (one hidden NUL past the text's own), so an answer can take it over as it
// is. An empty log gives "". Null when memory runs out.
char *getStateString();

int getMaxStateEntrySize();

// What a producer logs when the state log rejected its entry.
void reportRejectedStateEntry(const char *producer, int line);

// Appends an entry and, when it is rejected, logs the producer's complaint
// naming the calling function and line.
#define MIF_STATE_ENTRY(format, ...)                                  \
    do {                                                              \
        if (logStateString(format, ##__VA_ARGS__) == -1)              \
            reportRejectedStateEntry(__func__, __LINE__);             \
    } while (0)
