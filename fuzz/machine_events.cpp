// Machine control's events through the daemon's dispatcher and handlers:
// any event id, payloads of any length up to what an event carries. The
// payload is handed over in a buffer of exactly its length, so a handler
// that reads past it is caught. After each event the machine-state log is
// fetched as a client would: every entry ends with its semicolon.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "ipc/ipc.h"
#include "monitor/get_state_command.h"
#include "requests/mcl_event_dispatch.h"
#include "session/command_list.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    installMclEventTable(kMclEventTable, kMclEventTableSize);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // Mostly the ids the table knows, sometimes any 32-bit id.
    EventHeader event{};
    event.topic = data[0] & 1;
    size_t at = 2;
    if (data[0] & 0x80) {
        if (size < 6)
            return 0;
        memcpy(&event.eventId, data + 2, sizeof event.eventId);
        at = 6;
    } else {
        event.eventId = data[1] % 32;
    }
    const size_t length = size - at > 255 ? 255 : size - at;
    uint8_t *payload = length ? static_cast<uint8_t *>(malloc(length)) : nullptr;
    if (length && !payload)
        return 0;
    if (length)
        memcpy(payload, data + at, length);
    MclEventDispatcher(&event, payload, uint8_t(length));
    free(payload);

    Command *request = createRawCommand(MCH_GET_STATE, 5, nullptr, 0);
    Command *answer = cmdHandler_MCHGetState(request, -1);
    FUZZ_CHECK(answer && answer->index == MCH_GET_STATE && answer->tag == 5);
    const char *text = commandText(answer);
    if (text && strncmp(text, "NAK: ", 5) != 0) {
        size_t n = strlen(text);
        FUZZ_CHECK(n == 0 || text[n - 1] == ';');
    }
    deleteCommand(&answer);
    deleteCommand(&request);
    return 0;
}
