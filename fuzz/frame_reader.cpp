// The frame reader fed a client's byte stream through a socket: headers,
// lengths of any size, commands whose payload stays on the stream (type 1),
// and streams that end anywhere. Every command it returns must be the frame
// the bytes describe, with its payload complete and readable as text.
#include <cstring>

#include "fuzz_support.h"
#include "session/command_table.h"
#include "session/socket_io.h"
#include "session/wire.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SocketPair pair;
    if (!pair.feed(data, size))
        return 0;

    size_t at = 0;   // where the next frame starts in the input
    for (;;) {
        int timedOut = 0;
        Command *command = receiveCommand(pair.far, &timedOut);
        // The stream's end is always there: a reader must never wait for more.
        FUZZ_CHECK(!timedOut);
        if (!command)
            break;

        FUZZ_CHECK(size - at >= FRAME_HEADER_SIZE);
        int32_t index, tag;
        uint32_t length;
        decodeFrameHeader(data + at, &index, &tag, &length);
        FUZZ_CHECK(command->index == index && command->tag == tag && command->length == length);
        at += FRAME_HEADER_SIZE;

        int type = getCmdTransferType(index);
        if (type == 1 || type == 3) {
            // The payload is the handler's to take: skip it as a refused
            // upload would.
            FUZZ_CHECK(command->data == nullptr);
            uint8_t block[1024];
            uint32_t left = length;
            while (left > 0) {
                uint32_t want = left < sizeof block ? left : uint32_t(sizeof block);
                ssize_t got = socket_recv(pair.far, block, want, 0, 1000);
                if (got <= 0)
                    break;
                left -= uint32_t(got);
                at += size_t(got);
            }
            deleteCommand(&command);
            if (left > 0)
                break;
            continue;
        }

        FUZZ_CHECK(length <= FRAME_MAX_PAYLOAD);
        FUZZ_CHECK(size - at >= length);
        if (length > 0) {
            FUZZ_CHECK(command->data != nullptr);
            FUZZ_CHECK(memcmp(command->data, data + at, length) == 0);
            // The hidden NUL that makes every payload safe to read as text.
            FUZZ_CHECK(command->data[length] == 0);
            const char *text = commandText(command);
            FUZZ_CHECK(text && strlen(text) <= length);
        }
        at += length;
        deleteCommand(&command);
    }
    return 0;
}
