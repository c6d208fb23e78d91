// Machine control, supervisor and network daemon as an always willing
// stand-in for the request channel: every request succeeds at once with a
// reply whose bytes are all 1 (a success flag in byte 0, small values
// wherever a request reads one). The request catalogue above it is the
// daemon's own, so a fuzzed handler runs exactly as in the daemon, only
// without processes and time-outs. Replaces every function of
// requests/request_channel.h, so the real channel is never linked.
#include <cstdlib>
#include <cstring>

#include "requests/request_channel.h"

namespace {

enum { REPLY_BYTES = 512 };

} // namespace

void Init_Ipc() {}
void Deinit_Ipc() {}

IpcStatus sendRequest(const char *, RequestHeader *header, const void *, int length, ReplyHeader *reply,
                      void **replyPayload, int *replyLength)
{
    if (length < 0 || !header)
        return IPC_BAD_ARGUMENT;
    if (reply) {
        reply->replierId = 1;
        reply->transaction = header->transaction;
        reply->status = 0;
    }
    if (replyPayload && replyLength) {
        void *bytes = malloc(REPLY_BYTES);
        if (!bytes)
            return IPC_FAILURE;
        memset(bytes, 1, REPLY_BYTES);
        *replyPayload = bytes;
        *replyLength = REPLY_BYTES;
    }
    return IPC_OK;
}

void GUI_SendRequest(const char *, RequestHeader *, const void *, int) {}
bool sendShutdownRequest() { return true; }
bool setNoGuiSwitch() { return true; }
void LoggerSubscriberHandler(const void *, const void *, uint8_t) {}
void SupervisorSurveyHandler(const void *, const void *, int, ResponseHeader *out, void **, int *)
{
    if (out)
        memset(out, 0, sizeof *out);
}
