// The appliance's other processes, played by a test on the project's
// messaging library: machine control "Mcl", the supervisor "SvDaemon", the
// logger "LoggerD" and the network daemon "NetLinkD".
//
// The messaging layer has one identity per process, so one IpcPeer exists
// per process at a time. It takes a role's identity with start(), or serves
// on the identity the process already has with attach() (an in-process test
// of code that initialised the layer itself). addRole() makes the same
// process reachable under further names: their socket files under the test
// root are links to this process's own, so requests, pushes and log entries
// meant for those peers arrive here and events published here reach their
// subscribers. Roles served together must not share request codes (machine
// control's overlap with the others'). The daemon harness plays every peer
// that the test does not (mif-test-peer).
//
// Typical integration test:
//     TempRoot root;
//     IpcPeer mcl;
//     ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
//     mcl.setReply(RIF_SET_HEATING, 0, {1});
//     Daemon mifd;
//     ASSERT_TRUE(mifd.start(root));
//     ... client.call(...) ...
//     ASSERT_TRUE(mcl.waitForRequests(RIF_SET_HEATING, 1, 3000));
//     EXPECT_EQ(mcl.requests(RIF_SET_HEATING)[0].payload, (Bytes{1}));
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ipc/ipc.h"

using Bytes = std::vector<uint8_t>;

enum class PeerRole { Mcl, Supervisor, Logger, NetLink };

// The messaging ids the peers take (the daemon is 5).
enum : int { MCL_PEER_ID = 1, SUPERVISOR_PEER_ID = 2, NETLINK_PEER_ID = 4, LOGGER_PEER_ID = 9 };

// Everything a peer received carries one sequence number from a counter
// shared by all kinds, so that tests can tell what came first.
struct PeerRequest {
    uint64_t seq;
    uint32_t senderId;
    uint32_t code;
    uint32_t transaction;
    uint8_t replace;
    Bytes payload;
};

struct PeerPush {
    uint64_t seq;
    uint32_t senderId;
    uint32_t code;
    Bytes payload;
};

struct PeerLogEntry {
    uint64_t seq;
    LogHeader header;
    Bytes payload;
    // The payload up to its first NUL (text entries).
    std::string text() const;
};

struct PeerResponse {
    uint64_t seq;
    ResponseHeader header;
    Bytes payload;
};

// How a request is answered: a reply status and payload, or silence (the
// peer holds the request past the requester's reply time-out, so that the
// requester sees a time-out and its late answer is discarded).
struct PeerReply {
    uint32_t status = 0;
    Bytes payload;
    bool silent = false;
};

class IpcPeer {
public:
    IpcPeer() = default;
    ~IpcPeer();
    IpcPeer(const IpcPeer &) = delete;
    IpcPeer &operator=(const IpcPeer &) = delete;

    // Sets MIF_ROOT to `root` in this process, takes the role's identity and
    // opens its servers (all roles: Reply and Publish; the supervisor also
    // Pull, the logger also Log) with the role's default answers.
    bool start(const std::string &root, PeerRole role);
    // Serves on the identity `ownName` that this process already has; opens
    // no server until addRole().
    bool attach(const std::string &root, const char *ownName);
    // Makes this process reachable as the role's peer as well.
    bool addRole(PeerRole role);
    // Closes the servers; after start() also the messaging layer. Restores
    // MIF_ROOT.
    void stop();

    // ---- Answers
    // The default for codes without an answer of their own. Before any call,
    // a role's defaults are: machine control answers every code with status
    // 0 and a 64-byte payload whose first byte is 1 (long enough for every
    // reply the daemon reads), and code 23 with its running clock in
    // milliseconds; the supervisor answers 7, the network daemon 10, and the
    // logger 0 with the threshold (see setLoggerThreshold), all with status 0.
    void setDefaultReply(const PeerReply &reply);
    void setReply(uint32_t code, uint32_t status, const Bytes &payload = {});
    void setSilent(uint32_t code, bool silent = true);
    void clearReply(uint32_t code);  // back to the default
    // The logger's answer to its level query (default 6).
    void setLoggerThreshold(uint32_t threshold);
    // How long a silent answer is held; longer than the requester's reply
    // time-out (default 1200 ms, for the daemon's 1000 ms).
    void setSilentHoldMs(unsigned ms);
    // A slow machine control: the next requests of `code` are answered
    // (with the code's usual answer) after these delays, one per request in
    // the order they arrive, and at once again after the last. Requests are
    // served one at a time, so the ones behind a delayed answer wait too.
    void setDelays(uint32_t code, const std::vector<unsigned> &delaysMs);

    // ---- What arrived (copies)
    std::vector<PeerRequest> requests() const;
    std::vector<PeerRequest> requests(uint32_t code) const;
    std::vector<PeerPush> pushes() const;
    std::vector<PeerLogEntry> logEntries() const;
    std::vector<PeerResponse> responses() const;
    void clear();

    // Bounded waits; true when the condition held in time.
    bool waitForRequests(uint32_t code, size_t count, unsigned ms) const;
    bool waitForPushes(size_t count, unsigned ms) const;
    // A text log entry containing `fragment`.
    bool waitForLogText(const std::string &fragment, unsigned ms) const;
    bool waitFor(const std::function<bool()> &condition, unsigned ms) const;
    // No silent answer being held: after a silent request's last try
    // arrived, the peer answers promptly again once this holds.
    bool waitIdle(unsigned ms) const;
    // The sequence number the next arrival will get.
    uint64_t nextSeq() const;

    // ---- Sending
    bool publish(uint16_t topic, uint32_t eventId, const Bytes &payload = {});
    // Publishes every 50 ms until `done` holds (at most `ms`), for events
    // that must not be lost while a subscriber is still connecting.
    bool publishUntil(uint16_t topic, uint32_t eventId, const Bytes &payload,
                      const std::function<bool()> &done, unsigned ms);
    // Opens a surveyor (deadline `deadlineMs`) on first use and surveys;
    // responses are collected in responses().
    bool survey(uint32_t code, unsigned deadlineMs = 500);

private:
    bool openRoleServers(PeerRole role);
    bool linkName(const char *peerName);

    bool started_ = false;   // this object called IPC_Init
    bool active_ = false;
    std::string root_;
    std::string ownName_;
    bool hadRoot_ = false;
    std::string oldRoot_;
};

// Little-endian bytes of a value, for payloads.
template <typename T> Bytes bytesOf(T value)
{
    Bytes out(sizeof value);
    for (size_t i = 0; i < sizeof value; i++)
        out[i] = uint8_t(uint64_t(value) >> (8 * i));
    return out;
}
