// Subscriptions. One subscriber endpoint per peer carries up to ten topics;
// it is opened with the first topic and closed with the last. The slots live
// under the directory lock, so a subscription, an unsubscription and a
// lookup for IPC_WaitEvent always see them whole.
#include "ipc/ipc_internal.h"

#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>

namespace {

IpcStatus addTopic(const char *peer, uint16_t topic)
{
    return withDirectoryWriteLock([&] {
        EndpointEntry *e = _IPC_ListGet(IPC_KIND_SUBSCRIBER, peer);
        // Still being opened or already being closed by another thread.
        if (!e || e->closing)
            return IPC_FAILURE;
        TopicSlot *free = nullptr;
        for (TopicSlot &t : e->topics) {
            if (t.used && t.topic == topic)
                return IPC_ALREADY_PRESENT;
            if (!t.used && !free)
                free = &t;
        }
        if (!free)
            return IPC_FAILURE;
        if (nn_setsockopt(e->socket.load(), NN_SUB, NN_SUB_SUBSCRIBE, &topic, sizeof topic) != 0)
            return IPC_FAILURE;
        *free = TopicSlot{1, topic};
        return IPC_OK;
    });
}

}  // namespace

IpcStatus IPC_Subscribe(const char *peer, uint16_t topic, IpcSubscriberHandler handler)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer || !handler)
        return IPC_BAD_ARGUMENT;
    EndpointHandler h{};
    h.subscriber = handler;
    OpenOptions opt;
    opt.topic = topic;
    IpcStatus rc = openEndpoint(IPC_KIND_SUBSCRIBER, peer, h, opt);
    // Later topics join the open entry and share its first handler.
    return rc == IPC_ALREADY_PRESENT ? addTopic(peer, topic) : rc;
}

IpcStatus IPC_Unsubscribe(const char *peer, uint16_t topic)
{
    if (!gIpcInitialised.load())
        return IPC_NOT_INITIALISED;
    if (!peer)
        return IPC_BAD_ARGUMENT;
    EntryRef last;
    IpcStatus rc = withDirectoryWriteLock([&] {
        EndpointEntry *e = _IPC_ListGet(IPC_KIND_SUBSCRIBER, peer);
        if (!e || e->closing)
            return IPC_NO_ENDPOINT;
        bool anyLeft = false;
        bool removed = false;
        for (TopicSlot &t : e->topics) {
            if (t.used && t.topic == topic && !removed) {
                nn_setsockopt(e->socket.load(), NN_SUB, NN_SUB_UNSUBSCRIBE, &topic, sizeof topic);
                t = TopicSlot{};
                removed = true;
            }
            anyLeft = anyLeft || t.used;
        }
        if (!anyLeft)
            last = claimLocked(e);
        return IPC_OK;
    });
    if (rc != IPC_OK || !last)
        return rc;
    return closeClaimed(std::move(last));
}
