// Machine control "Mcl": answers the daemon's requests from the machine
// model and publishes the events the machine produces.
//
// Requests are answered on the reply server's thread; events go out from
// the main loop, which also lets machine time pass. Both work on the model
// under one lock. Events a request causes are queued rather than published
// from the handler, so that they follow the reply as they would on the
// appliance.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "blackbox_record.h"
#include "control.h"
#include "frame/log_ring.h"
#include "ipc/ipc.h"
#include "machine_clock.h"
#include "mcl_model.h"
#include "mcl_requests.h"
#include "peer.h"
#include "peers.h"
#include "platform/clock.h"
#include "platform/daemon_lock.h"
#include "platform/paths.h"
#include "requests/request_codes.h"
#include "sim_console.h"

namespace {

const char kWho[] = MCL_PROCESS_NAME;

enum Behaviour { ANSWERING, SILENT, FAILING };

enum { LOG_PUSH_TIMEOUT = 200, TICK_MS = 100 };

struct MclState {
    std::mutex lock;
    MachineModel model;
    Behaviour behaviour = ANSWERING;
    std::vector<SimEvent> queue;            // by due time
    std::vector<std::string> notes;
    std::vector<BlackBoxEntry> blackBox;
    std::vector<FlagFileChange> flagFiles;
    bool daemonSeen = false;                // a daemon held its lock on the root
};

MclState gMcl;

// Machine control's watch over its client: the daemon holds a lock on the
// root for as long as it lives, and the kernel drops it however the daemon
// ends. Once a daemon was seen, losing it stops the machine.
void watchDaemon(uint64_t now, ModelOutput &out)
{
    const bool alive = daemonLockHeld();
    if (gMcl.daemonSeen && !alive)
        modelClientGone(gMcl.model, now, out);
    gMcl.daemonSeen = alive;
}

// Takes what a step of the model produced; the lock is held.
void collect(ModelOutput &out)
{
    for (SimEvent &event : out.events)
        gMcl.queue.push_back(std::move(event));
    std::stable_sort(gMcl.queue.begin(), gMcl.queue.end(),
                     [](const SimEvent &a, const SimEvent &b) { return a.dueMs < b.dueMs; });
    for (std::string &note : out.notes)
        gMcl.notes.push_back(std::move(note));
    for (BlackBoxEntry &entry : out.blackBox)
        gMcl.blackBox.push_back(std::move(entry));
    for (FlagFileChange &change : out.flagFiles)
        gMcl.flagFiles.push_back(change);
}

void onRequest(const void *msg, const void *payload, int len, ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    const RequestHeader *hdr = static_cast<const RequestHeader *>(msg);
    uint32_t code = hdr->requestCode;
    McReply reply;
    {
        std::lock_guard<std::mutex> lock(gMcl.lock);
        if (gMcl.behaviour == FAILING) {
            reply.status = 1;
        } else {
            ModelOutput out;
            if (!mclHandleRequest(gMcl.model, code, static_cast<const uint8_t *>(payload), len, machineTimeMs(),
                                  reply, out))
                out.notes.push_back("request code " + std::to_string(code) + " unknown");
            collect(out);
        }
    }
    const char *name = mclRequestName(code);
    simTrace(kWho, "request %u (%s) from %u: status %u, %zu reply bytes", code, name ? name : "?", hdr->senderId,
             reply.status, reply.payload.size());
    outHdr->status = reply.status;
    if (!reply.payload.empty()) {
        void *copy = malloc(reply.payload.size());
        if (copy) {
            memcpy(copy, reply.payload.data(), reply.payload.size());
            *outPayload = copy;
            *outLen = int(reply.payload.size());
        }
    }
    wakePeerLoop();
}

void applyFlagFile(const FlagFileChange &change)
{
    std::string path = mifPath(change.appliancePath);
    if (change.present) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    } else {
        unlink(path.c_str());
    }
}

void pushBlackBox(const BlackBoxEntry &entry)
{
    Bytes record = buildBlackBoxRecord(entry.code, entry.message);
    LogHeader hdr{};
    hdr.kind = entry.kind == 2 ? LOG_KIND_BLACKBOX_ERROR : LOG_KIND_BLACKBOX_EVENT;
    logHeaderSetTimestamp(&hdr, monotonicUs());
    IPC_PushLog(LOGGER_PROCESS_NAME, &hdr, record.data(), int(record.size()));
}

// Lets time pass and sends what is due, outside the lock.
void tick()
{
    std::vector<SimEvent> due;
    std::vector<std::string> notes;
    std::vector<BlackBoxEntry> blackBox;
    std::vector<FlagFileChange> flagFiles;
    bool publishing;
    {
        std::lock_guard<std::mutex> lock(gMcl.lock);
        uint64_t now = machineTimeMs();
        ModelOutput out;
        watchDaemon(now, out);
        modelTick(gMcl.model, now, out);
        collect(out);
        auto end = std::find_if(gMcl.queue.begin(), gMcl.queue.end(), [now](const SimEvent &e) { return e.dueMs > now; });
        due.assign(std::make_move_iterator(gMcl.queue.begin()), std::make_move_iterator(end));
        gMcl.queue.erase(gMcl.queue.begin(), end);
        notes.swap(gMcl.notes);
        blackBox.swap(gMcl.blackBox);
        flagFiles.swap(gMcl.flagFiles);
        publishing = gMcl.behaviour != SILENT;
    }
    for (const std::string &note : notes)
        simSay(kWho, "%s", note.c_str());
    for (const FlagFileChange &change : flagFiles)
        applyFlagFile(change);
    if (!publishing)
        return;
    for (const SimEvent &event : due) {
        EventHeader hdr{event.topic, 0, event.id};
        IpcStatus rc = IPC_Publish(&hdr, event.payload.empty() ? nullptr : event.payload.data(), int(event.payload.size()));
        simTrace(kWho, "%s%s", describeEvent(event).c_str(), rc == IPC_OK ? "" : " (not published)");
    }
    for (const BlackBoxEntry &entry : blackBox)
        pushBlackBox(entry);
}

// "mcl silent": machine control stops answering and publishing, as a hung
// one would; "mcl fail": it answers every request with a failure status;
// "mcl normal" brings it back.
bool setBehaviour(const std::string &word)
{
    Behaviour wanted;
    if (word == "silent")
        wanted = SILENT;
    else if (word == "fail")
        wanted = FAILING;
    else if (word == "normal")
        wanted = ANSWERING;
    else
        return false;
    Behaviour before;
    {
        std::lock_guard<std::mutex> lock(gMcl.lock);
        before = gMcl.behaviour;
        gMcl.behaviour = wanted;
    }
    // The reply server closes while silent, so that requests go unanswered
    // instead of waiting in a handler.
    if (wanted == SILENT && before != SILENT)
        IPC_CloseReplyServer();
    if (wanted != SILENT && before == SILENT && IPC_OpenReplyServer(onRequest) != IPC_OK)
        simSay(kWho, "cannot open the reply socket again");
    simSay(kWho, "machine control %s", wanted == SILENT ? "silent" : wanted == FAILING ? "failing every request" : "answering");
    return true;
}

bool onControl(const std::vector<std::string> &words)
{
    if (words[0] == "mcl")
        return words.size() == 2 && setBehaviour(words[1]);
    std::string error;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(gMcl.lock);
        ModelOutput out;
        ok = modelControl(gMcl.model, words, machineTimeMs(), out, &error);
        if (ok && words[0] == "status")
            writeControlReply(modelSummary(gMcl.model));
        collect(out);
    }
    if (!ok && error != "not understood") {
        simSay(kWho, "%s: %s", words[0].c_str(), error.c_str());
        return true;
    }
    return ok;
}

}  // namespace

int runMcl(int, char **)
{
    peerProcessSetup();
    {
        std::lock_guard<std::mutex> lock(gMcl.lock);
        modelInit(gMcl.model, machineTimeMs());
    }
    if (!peerOpenEndpoints(kWho, MCL_PROCESS_ID,
                           {[] { return IPC_OpenPublisher(); }, [] { return IPC_OpenReplyServer(onRequest); },
                            [] { return IPC_OpenLogPush(LOGGER_PROCESS_NAME, LOG_PUSH_TIMEOUT); }}))
        return 1;
    simSay(kWho, "machine control ready");

    PeerLoop loop;
    loop.name = kWho;
    loop.tickMs = TICK_MS;
    loop.onControl = onControl;
    loop.onTick = tick;
    return servePeer(loop);
}
