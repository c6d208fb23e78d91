// The dispatcher over whichever event table is installed.
#include "requests/mcl_event_dispatch.h"

#include <cstring>
#include <mutex>

#include "ipc/ipc.h"

namespace {

// Installed at start-up (or by a test), read by the subscriber threads.
std::mutex tableLock;
const MclEventRow *tableRows = nullptr;
size_t tableCount = 0;

// The row of an id, or null.
const MclEventRow *findRow(uint32_t id)
{
    std::lock_guard<std::mutex> guard(tableLock);
    for (size_t i = 0; i < tableCount; i++)
        if (tableRows[i].id == id)
            return &tableRows[i];
    return nullptr;
}

} // namespace

void installMclEventTable(const MclEventRow *rows, size_t count)
{
    std::lock_guard<std::mutex> guard(tableLock);
    tableRows = rows;
    tableCount = rows ? count : 0;
}

void MclEventDispatcher(const void *msg, const void *payload, uint8_t length)
{
    if (!msg)
        return;
    EventHeader event;
    memcpy(&event, msg, sizeof event);
    const MclEventRow *row = findRow(event.eventId);
    if (!row)
        return;
    // Fields are never read past the payload: a short event is dropped.
    if (length < row->span || (row->span && !payload))
        return;
    if (row->decode)
        row->decode(static_cast<const uint8_t *>(payload));
}
