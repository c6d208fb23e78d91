#include "monitor/state_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/mif_utilfuncs.h"

MIF_GetMachineState &MIF_GetMachineState::instance()
{
    static MIF_GetMachineState machineState;
    return machineState;
}

bool MIF_GetMachineState::append(const char *entry, size_t length)
{
    if (length >= size_t(MaxEntrySize))
        return false;
    std::lock_guard<std::mutex> guard(lock_);
    // Out of memory leaves the log as it was: the new text is taken back
    // (shrinking a deque does not allocate), and the oldest entry goes only
    // once the new one is in.
    const size_t before = text_.size();
    try {
        text_.insert(text_.end(), entry, entry + length);
        lengths_.push_back(uint8_t(length));
    } catch (const std::bad_alloc &) {
        text_.resize(before);
        return false;
    }
    if (lengths_.size() > MaxEntries) {
        // Constant time: an entry is at most 255 characters.
        text_.erase(text_.begin(), text_.begin() + lengths_.front());
        lengths_.pop_front();
    }
    return true;
}

uint32_t MIF_GetMachineState::entryCount()
{
    std::lock_guard<std::mutex> guard(lock_);
    return uint32_t(lengths_.size());
}

char *MIF_GetMachineState::takeAll(uint32_t *textLength)
{
    std::lock_guard<std::mutex> guard(lock_);
    // A full log is at most about 16 MiB, copied once.
    size_t total = text_.size();
    char *text = reinterpret_cast<char *>(allocCommandPayload(uint32_t(total) + 1));
    if (!text)
        return nullptr;
    std::copy(text_.begin(), text_.end(), text);
    text[total] = '\0';
    text_.clear();
    lengths_.clear();
    if (textLength)
        *textLength = uint32_t(total);
    return text;
}

int logStateString(const char *format, ...)
{
    if (!format)
        return -1;
    // Anything that does not fit the bound is rejected, so the bound is all
    // the room formatting needs; the full length is still counted.
    char text[MIF_GetMachineState::MaxEntrySize];
    va_list ap;
    va_start(ap, format);
    int length = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (length < 0)
        return -1;
    if (length >= MIF_GetMachineState::MaxEntrySize) {
        printf("ERROR in function %s@%i: Entry of size %i too large for buffer (max size %i), REJECTED LOG ENTRY!\n",
               "logStateString", __LINE__, length, MIF_GetMachineState::MaxEntrySize - 1);
        fflush(stdout);
        return -1;
    }
    if (!MIF_GetMachineState::instance().append(text, size_t(length)))
        return -1;
    return length;
}

int getStateEntryCount()
{
    return int(MIF_GetMachineState::instance().entryCount());
}

char *getStateString()
{
    return MIF_GetMachineState::instance().takeAll(nullptr);
}

int getMaxStateEntrySize()
{
    return MIF_GetMachineState::MaxEntrySize;
}

void reportRejectedStateEntry(const char *producer, int line)
{
    LOGGER_LogMessage(3, 0, "%s,%i: logStateString error: Input string too long (max. %d)! REJECTED LOG ENTRY!\n",
                      producer, line, getMaxStateEntrySize() - 1);
}
