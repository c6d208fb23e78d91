#include "monitor/state_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame/mif_utilfuncs.h"

MIF_GetMachineState &MIF_GetMachineState::instance()
{
    static MIF_GetMachineState machineState;
    return machineState;
}

void MIF_GetMachineState::append(std::string entry)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.size() >= MaxEntries)
        entries_.pop_front();
    entries_.push_back(std::move(entry));
}

uint32_t MIF_GetMachineState::entryCount()
{
    std::lock_guard<std::mutex> guard(lock_);
    return uint32_t(entries_.size());
}

char *MIF_GetMachineState::takeAll(uint32_t *textLength)
{
    std::lock_guard<std::mutex> guard(lock_);
    // A full log is about 16 MiB: size it once and copy each entry once.
    size_t total = 0;
    for (const std::string &entry : entries_)
        total += entry.size();
    char *text = reinterpret_cast<char *>(allocCommandPayload(uint32_t(total) + 1));
    if (!text)
        return nullptr;
    char *end = text;
    for (const std::string &entry : entries_) {
        memcpy(end, entry.data(), entry.size());
        end += entry.size();
    }
    *end = '\0';
    entries_.clear();
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
    MIF_GetMachineState::instance().append(std::string(text, size_t(length)));
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
