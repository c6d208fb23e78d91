#include "mcl_peer.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>

#include "platform/paths.h"

using Clock = std::chrono::steady_clock;

namespace {

const char *nameOf(PeerRole role)
{
    switch (role) {
    case PeerRole::Mcl: return "Mcl";
    case PeerRole::Supervisor: return "SvDaemon";
    case PeerRole::Logger: return "LoggerD";
    case PeerRole::NetLink: return "NetLinkD";
    }
    return "";
}

int idOf(PeerRole role)
{
    switch (role) {
    case PeerRole::Mcl: return MCL_PEER_ID;
    case PeerRole::Supervisor: return SUPERVISOR_PEER_ID;
    case PeerRole::Logger: return LOGGER_PEER_ID;
    case PeerRole::NetLink: return NETLINK_PEER_ID;
    }
    return 0;
}

enum : uint32_t {
    MCL_SYS_TIME_CODE = 23,
    SUPERVISOR_SHUTDOWN_CODE = 7,
    NETLINK_NO_GUI_SWITCH_CODE = 10,
    LOGGER_LEVEL_QUERY_CODE = 0,
};

// What the peer of this process knows; the handlers of the messaging layer
// are plain functions, so it is process-wide.
struct PeerState {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool stopping = false;
    uint64_t seq = 0;
    int holding = 0;   // silent answers being held

    bool mcl = false, supervisor = false, logger = false, netLink = false;
    bool replyServer = false, publisher = false, pullServer = false, logServer = false,
         surveyor = false;

    std::map<uint32_t, PeerReply> replies;
    std::optional<PeerReply> fallback;
    uint32_t loggerThreshold = 6;
    unsigned silentHoldMs = 1200;
    std::map<uint32_t, std::deque<unsigned>> delays;
    Clock::time_point startTime = Clock::now();

    std::vector<PeerRequest> requests;
    std::vector<PeerPush> pushes;
    std::vector<PeerLogEntry> logs;
    std::vector<PeerResponse> responses;
};

PeerState state;

Bytes copyBytes(const void *data, int length)
{
    if (!data || length <= 0)
        return {};
    const uint8_t *p = static_cast<const uint8_t *>(data);
    return Bytes(p, p + length);
}

// The answer to a code, under the state lock.
PeerReply answerFor(uint32_t code)
{
    auto it = state.replies.find(code);
    if (it != state.replies.end())
        return it->second;
    if (state.mcl && code == MCL_SYS_TIME_CODE) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - state.startTime);
        return PeerReply{0, bytesOf(uint64_t(1000 + ms.count())), false};
    }
    if (state.logger && code == LOGGER_LEVEL_QUERY_CODE)
        return PeerReply{0, bytesOf(state.loggerThreshold), false};
    if ((state.supervisor && code == SUPERVISOR_SHUTDOWN_CODE) ||
        (state.netLink && code == NETLINK_NO_GUI_SWITCH_CODE))
        return PeerReply{};
    if (state.fallback)
        return *state.fallback;
    if (state.mcl) {
        PeerReply reply;
        reply.payload.assign(64, 0);
        reply.payload[0] = 1;
        return reply;
    }
    return PeerReply{};
}

void onRequest(const void *msg, const void *payload, int length, ReplyHeader *out,
               void **outPayload, int *outLength)
{
    RequestHeader header;
    memcpy(&header, msg, sizeof header);
    std::unique_lock<std::mutex> guard(state.lock);
    state.requests.push_back(PeerRequest{state.seq++, header.senderId, header.requestCode,
                                         header.transaction, header.replace,
                                         copyBytes(payload, length)});
    state.changed.notify_all();
    PeerReply reply = answerFor(header.requestCode);
    unsigned holdMs = reply.silent ? state.silentHoldMs : 0;
    auto delayed = state.delays.find(header.requestCode);
    if (!reply.silent && delayed != state.delays.end() && !delayed->second.empty()) {
        holdMs = delayed->second.front();
        delayed->second.pop_front();
    }
    if (holdMs > 0) {
        // A silent answer outlasts the requester's time-out; its retry finds
        // the socket free again right after, and this late answer is
        // dropped by the requester.
        state.holding++;
        state.changed.wait_for(guard, std::chrono::milliseconds(holdMs), [] { return state.stopping; });
        state.holding--;
        state.changed.notify_all();
    }
    out->status = reply.status;
    if (!reply.payload.empty()) {
        void *copy = malloc(reply.payload.size());
        if (copy) {
            memcpy(copy, reply.payload.data(), reply.payload.size());
            *outPayload = copy;
            *outLength = int(reply.payload.size());
        }
    }
}

void onPush(const void *msg, const void *payload, int length)
{
    PushHeader header;
    memcpy(&header, msg, sizeof header);
    std::lock_guard<std::mutex> guard(state.lock);
    state.pushes.push_back(PeerPush{state.seq++, header.senderId, header.code, copyBytes(payload, length)});
    state.changed.notify_all();
}

void onLog(const void *msg, const void *payload, int length)
{
    PeerLogEntry entry{};
    memcpy(&entry.header, msg, sizeof entry.header);
    entry.payload = copyBytes(payload, length);
    std::lock_guard<std::mutex> guard(state.lock);
    entry.seq = state.seq++;
    state.logs.push_back(std::move(entry));
    state.changed.notify_all();
}

void onResponse(const void *msg, const void *payload, int length)
{
    PeerResponse response{};
    memcpy(&response.header, msg, sizeof response.header);
    response.payload = copyBytes(payload, length);
    std::lock_guard<std::mutex> guard(state.lock);
    response.seq = state.seq++;
    state.responses.push_back(std::move(response));
    state.changed.notify_all();
}

void resetState()
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.stopping = false;
    state.mcl = state.supervisor = state.logger = state.netLink = false;
    state.replyServer = state.publisher = state.pullServer = state.logServer = state.surveyor = false;
    state.replies.clear();
    state.fallback.reset();
    state.loggerThreshold = 6;
    state.silentHoldMs = 1200;
    state.delays.clear();
    state.startTime = Clock::now();
    state.requests.clear();
    state.pushes.clear();
    state.logs.clear();
    state.responses.clear();
}

} // namespace

std::string PeerLogEntry::text() const
{
    size_t end = 0;
    while (end < payload.size() && payload[end])
        end++;
    return std::string(payload.begin(), payload.begin() + long(end));
}

// ------------------------------------------------------------------ IpcPeer

IpcPeer::~IpcPeer() { stop(); }

bool IpcPeer::attach(const std::string &root, const char *ownName)
{
    if (active_)
        return false;
    resetState();
    root_ = root;
    ownName_ = ownName;
    const char *old = getenv("MIF_ROOT");
    hadRoot_ = old != nullptr;
    oldRoot_ = old ? old : "";
    setenv("MIF_ROOT", root.c_str(), 1);
    mkdir((root + "/tmp").c_str(), 0755);
    active_ = true;
    return true;
}

bool IpcPeer::start(const std::string &root, PeerRole role)
{
    if (!attach(root, nameOf(role)))
        return false;
    if (IPC_Init(idOf(role), nameOf(role)) != IPC_OK) {
        stop();
        return false;
    }
    started_ = true;
    if (!addRole(role)) {
        stop();
        return false;
    }
    return true;
}

bool IpcPeer::linkName(const char *peerName)
{
    if (ownName_ == peerName)
        return true;
    for (const char *kind : {"Reply", "Publish", "Pull", "Log", "Survey"}) {
        std::string link = mifPath(std::string("/tmp/") + peerName + kind + ".ipc");
        std::string target = ownName_ + kind + ".ipc";   // beside the link
        struct stat info;
        if (lstat(link.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            unlink(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool IpcPeer::openRoleServers(PeerRole role)
{
    std::unique_lock<std::mutex> guard(state.lock);
    bool reply = !state.replyServer, publisher = !state.publisher;
    bool pull = role == PeerRole::Supervisor && !state.pullServer;
    bool log = role == PeerRole::Logger && !state.logServer;
    guard.unlock();

    if (reply && IPC_OpenReplyServer(onRequest) != IPC_OK)
        return false;
    if (publisher && IPC_OpenPublisher() != IPC_OK)
        return false;
    if (pull && IPC_OpenPullServer(onPush) != IPC_OK)
        return false;
    if (log && IPC_OpenLogServer(onLog) != IPC_OK)
        return false;

    guard.lock();
    state.replyServer = true;
    state.publisher = true;
    state.pullServer = state.pullServer || pull;
    state.logServer = state.logServer || log;
    switch (role) {
    case PeerRole::Mcl: state.mcl = true; break;
    case PeerRole::Supervisor: state.supervisor = true; break;
    case PeerRole::Logger: state.logger = true; break;
    case PeerRole::NetLink: state.netLink = true; break;
    }
    return true;
}

bool IpcPeer::addRole(PeerRole role)
{
    return active_ && linkName(nameOf(role)) && openRoleServers(role);
}

void IpcPeer::stop()
{
    if (!active_)
        return;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.stopping = true;
        state.changed.notify_all();
    }
    if (started_) {
        IPC_Deinit();
    } else {
        std::unique_lock<std::mutex> guard(state.lock);
        bool reply = state.replyServer, publisher = state.publisher, pull = state.pullServer,
             log = state.logServer, surveyor = state.surveyor;
        guard.unlock();
        if (reply)
            IPC_CloseReplyServer();
        if (publisher)
            IPC_ClosePublisher();
        if (pull)
            IPC_ClosePullServer();
        if (log)
            IPC_CloseLogServer();
        if (surveyor)
            IPC_CloseSurveyor();
    }
    if (hadRoot_)
        setenv("MIF_ROOT", oldRoot_.c_str(), 1);
    else
        unsetenv("MIF_ROOT");
    started_ = active_ = false;
}

void IpcPeer::setDefaultReply(const PeerReply &reply)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.fallback = reply;
}

void IpcPeer::setReply(uint32_t code, uint32_t status, const Bytes &payload)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.replies[code] = PeerReply{status, payload, false};
}

void IpcPeer::setSilent(uint32_t code, bool silent)
{
    std::lock_guard<std::mutex> guard(state.lock);
    if (silent)
        state.replies[code] = PeerReply{0, {}, true};
    else
        state.replies.erase(code);
}

void IpcPeer::clearReply(uint32_t code)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.replies.erase(code);
}

void IpcPeer::setLoggerThreshold(uint32_t threshold)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.loggerThreshold = threshold;
}

void IpcPeer::setSilentHoldMs(unsigned ms)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.silentHoldMs = ms;
}

void IpcPeer::setDelays(uint32_t code, const std::vector<unsigned> &delaysMs)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.delays[code].assign(delaysMs.begin(), delaysMs.end());
}

std::vector<PeerRequest> IpcPeer::requests() const
{
    std::lock_guard<std::mutex> guard(state.lock);
    return state.requests;
}

std::vector<PeerRequest> IpcPeer::requests(uint32_t code) const
{
    std::lock_guard<std::mutex> guard(state.lock);
    std::vector<PeerRequest> out;
    for (const PeerRequest &r : state.requests)
        if (r.code == code)
            out.push_back(r);
    return out;
}

std::vector<PeerPush> IpcPeer::pushes() const
{
    std::lock_guard<std::mutex> guard(state.lock);
    return state.pushes;
}

std::vector<PeerLogEntry> IpcPeer::logEntries() const
{
    std::lock_guard<std::mutex> guard(state.lock);
    return state.logs;
}

std::vector<PeerResponse> IpcPeer::responses() const
{
    std::lock_guard<std::mutex> guard(state.lock);
    return state.responses;
}

void IpcPeer::clear()
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.requests.clear();
    state.pushes.clear();
    state.logs.clear();
    state.responses.clear();
}

uint64_t IpcPeer::nextSeq() const
{
    std::lock_guard<std::mutex> guard(state.lock);
    return state.seq;
}

bool IpcPeer::waitFor(const std::function<bool()> &condition, unsigned ms) const
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= end)
            return false;
        std::unique_lock<std::mutex> guard(state.lock);
        // Woken by every arrival; the short bound also covers conditions on
        // anything else.
        state.changed.wait_for(guard, std::chrono::milliseconds(20));
    }
    return true;
}

bool IpcPeer::waitIdle(unsigned ms) const
{
    return waitFor(
        [] {
            std::lock_guard<std::mutex> guard(state.lock);
            return state.holding == 0;
        },
        ms);
}

bool IpcPeer::waitForRequests(uint32_t code, size_t count, unsigned ms) const
{
    return waitFor([&] { return requests(code).size() >= count; }, ms);
}

bool IpcPeer::waitForPushes(size_t count, unsigned ms) const
{
    return waitFor([&] { return pushes().size() >= count; }, ms);
}

bool IpcPeer::waitForLogText(const std::string &fragment, unsigned ms) const
{
    return waitFor(
        [&] {
            for (const PeerLogEntry &e : logEntries())
                if (e.header.kind == 0 && e.text().find(fragment) != std::string::npos)
                    return true;
            return false;
        },
        ms);
}

bool IpcPeer::publish(uint16_t topic, uint32_t eventId, const Bytes &payload)
{
    EventHeader header{topic, 0, eventId};
    return IPC_Publish(&header, payload.empty() ? nullptr : payload.data(), int(payload.size())) == IPC_OK;
}

bool IpcPeer::publishUntil(uint16_t topic, uint32_t eventId, const Bytes &payload,
                           const std::function<bool()> &done, unsigned ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    if (done())
        return true;
    while (Clock::now() < end) {
        publish(topic, eventId, payload);
        if (waitFor(done, 50))
            return true;
    }
    return false;
}

bool IpcPeer::survey(uint32_t code, unsigned deadlineMs)
{
    std::unique_lock<std::mutex> guard(state.lock);
    bool open = state.surveyor;
    guard.unlock();
    if (!open) {
        if (IPC_OpenSurveyor(onResponse, int(deadlineMs)) != IPC_OK)
            return false;
        guard.lock();
        state.surveyor = true;
        guard.unlock();
    }
    SurveyHeader header{0, code};
    static const uint8_t none = 0;
    return IPC_Survey(header, &none, 0) == IPC_OK;
}
