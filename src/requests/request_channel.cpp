// Setting up and tearing down the messaging endpoints, the request calls
// with and without retry, and the handlers for the supervisor and logger.
#include "requests/request_channel.h"

#include <cstdlib>
#include <cstring>

#include "frame/log.h"
#include "frame/log_ring.h"
#include "ipc/logger_client.h"
#include "requests/mcl_event_dispatch.h"
#include "requests/request_codes.h"

namespace {

enum { MAX_TRIES = 3, LOGGER_SOURCE_ID = 5, LOGGER_RING_CAPACITY = 10 };

bool transient(IpcStatus status) { return status == IPC_FAILURE || status == IPC_TIMEOUT; }

// The supervisor's topic carries only the start event, which the start-up
// waits for with IPC_WaitEvent; the subscription needs a handler all the same.
void ignoreEvent(const void *, const void *, uint8_t) {}

} // namespace

void Init_Ipc()
{
    IPC_Init(MIF_PROCESS_ID, MIF_PROCESS_NAME);
    IPC_OpenRequester(MCL_PROCESS_NAME, REPLY_TIMEOUT_MS);
    IPC_Subscribe(MCL_PROCESS_NAME, MCL_TOPIC_0, MclEventDispatcher);
    IPC_Subscribe(MCL_PROCESS_NAME, MCL_TOPIC_1, MclEventDispatcher);
    IPC_OpenRespondent(SUPERVISOR_PROCESS_NAME, SupervisorSurveyHandler);
    IPC_OpenPush(SUPERVISOR_PROCESS_NAME, SUPERVISOR_PUSH_TIMEOUT_MS);
    IPC_Subscribe(SUPERVISOR_PROCESS_NAME, SUPERVISOR_TOPIC, ignoreEvent);
    IPC_OpenRequester(LOGGER_PROCESS_NAME, REPLY_TIMEOUT_MS);
    IPC_OpenLogPush(LOGGER_PROCESS_NAME, LOG_PUSH_TIMEOUT_MS);
    IPC_Subscribe(LOGGER_PROCESS_NAME, LOGGER_TOPIC, LoggerSubscriberHandler);
    IPC_OpenRequester(NETLINK_PROCESS_NAME, REPLY_TIMEOUT_MS);
    LOGGER_Start(LOGGER_SOURCE_ID, LOGGER_RING_CAPACITY);
    LOGGER_LogMessage(6, 0, "%s", "Init_Ipc");
}

void Deinit_Ipc()
{
    LOGGER_Stop();
    IPC_Deinit();
}

IpcStatus sendRequest(const char *peer, RequestHeader *header, const void *payload, int length,
                      ReplyHeader *reply, void **replyPayload, int *replyLength)
{
    IpcStatus status = IPC_FAILURE;
    for (int attempt = 0; attempt < MAX_TRIES; attempt++) {
        status = IPC_Request(peer, header, payload, length, reply, replyPayload, replyLength);
        if (!transient(status))
            break;
        LOGGER_LogMessage(6, 0, "%s failed with status %d", "sendRequest", int(status));
    }
    // The caller reports the request as failed: replies still on their way
    // to its tries are of no use to anyone.
    if (transient(status))
        IPC_DropRequest(peer);
    return status;
}

void GUI_SendRequest(const char *peer, RequestHeader *header, const void *payload, int length)
{
    ReplyHeader reply{};
    void *replyPayload = nullptr;
    int replyLength = 0;
    IpcStatus status = IPC_Request(peer, header, payload, length, &reply, &replyPayload, &replyLength);
    free(replyPayload);
    if (transient(status)) {
        LOGGER_LogMessage(6, 0, "%s failed with status %d", "GUI_SendRequest", int(status));
        IPC_DropRequest(peer);
    }
}

bool sendShutdownRequest()
{
    LOGGER_LogMessage(6, 0, "%s", "sendShutdownRequest");
    IPC_OpenRequester(SUPERVISOR_PROCESS_NAME, REPLY_TIMEOUT_MS);
    RequestHeader header{};
    header.requestCode = SUPERVISOR_SHUTDOWN_REQUEST;
    uint32_t value = SUPERVISOR_SHUTDOWN_VALUE;
    ReplyHeader reply{};
    void *replyPayload = nullptr;
    int replyLength = 0;
    IpcStatus status = sendRequest(SUPERVISOR_PROCESS_NAME, &header, &value, sizeof value, &reply,
                                   &replyPayload, &replyLength);
    free(replyPayload);
    // A supervisor that answers with a failure status has not accepted the
    // shutdown, whatever the transport did.
    int failure = status != IPC_OK ? int(status) : int(reply.status);
    if (failure != 0)
        LOGGER_LogMessage(3, 0, "%s failed with status %d", "sendShutdownRequest", failure);
    IPC_CloseRequester(SUPERVISOR_PROCESS_NAME);
    return failure == 0;
}

bool setNoGuiSwitch()
{
    LOGGER_LogMessage(6, 0, "%s", "setNoGuiSwitch");
    RequestHeader header{};
    header.requestCode = NETLINK_NO_GUI_SWITCH;
    ReplyHeader reply{};
    void *replyPayload = nullptr;
    int replyLength = 0;
    IpcStatus status = sendRequest(NETLINK_PROCESS_NAME, &header, nullptr, 0, &reply, &replyPayload,
                                   &replyLength);
    free(replyPayload);
    int failure = status != IPC_OK ? int(status) : int(reply.status);
    if (failure != 0) {
        LOGGER_LogMessage(3, 0, "%s failed with status %d", "setNoGuiSwitch", failure);
        return false;
    }
    return true;
}

void LoggerSubscriberHandler(const void *msg, const void *payload, uint8_t length)
{
    EventHeader event;
    memcpy(&event, msg, sizeof event);
    LOGGER_LogMessage(6, 0, "[MIF] LoggerSubscriberHandler: Received EventId: %d TopicId:%d\n",
                      int(event.eventId), int(event.topic));
    if (event.eventId != LOGGER_EVENT_THRESHOLD || !payload || length < 4)
        return;
    uint32_t level;
    memcpy(&level, payload, sizeof level);
    logSetThreshold(level);
}

void SupervisorSurveyHandler(const void *, const void *, int, ResponseHeader *out, void **,
                             int *)
{
    out->responseWord = 0;
    out->status = 0;
}
