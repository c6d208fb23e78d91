// The console's one session with the daemon, and the poller that keeps the
// page's view of the machine fresh.
//
// The daemon serves one client at a time and drops the older one when a
// new client connects. So the console never reconnects by itself: when the
// connection ends it says so and waits for the technician's Reconnect.
// Every request, the poller's and the page's, runs under one lock, since a
// session carries one request at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "event_hub.h"
#include "run.h"
#include "telemetry.h"

struct ConsoleSettings {
    Endpoint endpoint;
    KeyChoice key;
    int timeoutMs = 30000;
    int pollMs = 500;
    std::string workDir;  // private directory for files on their way through
};

// Where the link to the daemon stands; the page's banner follows it.
enum LinkState {
    LINK_CONNECTING,
    LINK_UP,
    LINK_UNREACHABLE,  // no daemon answered at the address
    LINK_REFUSED,      // the daemon did not accept the key
    LINK_LOST,         // the daemon closed the session: another client, or it stopped
};

// Why a session was lost, as far as the console can tell.
enum LossCause {
    LOSS_UNKNOWN,    // a daemon on another machine: either
    LOSS_DISPLACED,  // the daemon still listens: another client took the session
    LOSS_STOPPED,    // nothing listens on the daemon's port any more
};

// The outcome of one request from the page.
struct CommandResult {
    bool sent = false;     // false: no session, refused locally, or the connection failed
    bool nak = false;
    std::string text;      // the daemon's answer, or why nothing was sent
    std::string command;   // the daemon's name of the command
};

class ConsoleSession {
public:
    ConsoleSession(const ConsoleSettings &settings, EventHub &hub);
    ~ConsoleSession();

    // Connects and starts polling; stop() ends and joins the poller.
    void start();
    void stop();

    // Connects again after a loss (or a first failure), on the caller's thread.
    void reconnect();

    // The level of the console's key (-1: a key of no known role).
    int32_t level() const { return level_; }

    // A prepared request (mifctl's preparation: argument mapping, file
    // conversion) sent on the session. Transfers report their progress as
    // "progress" events under `transferId`; a download lands in
    // request.output.
    CommandResult run(const PreparedRequest &request, const std::string &transferId);

    // mifctl's all-off on the session: motor stopped, heater off; one line
    // per step in the text.
    CommandResult allOff();

    // A local refusal that never reaches the daemon, e.g. a level too low.
    std::string levelRefusal(int32_t commandIndex) const;

    nlohmann::json statusJson();
    nlohmann::json infoJson();     // address, role, level, serial fields
    nlohmann::json historyJson();  // the chart samples kept, oldest first
    nlohmann::json panelJson();

    // What the console set itself and the machine does not report back
    // (mode, direction, relays, light): kept from ACKed commands.
    void noteCommanded(const std::string &key, const std::string &value);

private:
    void pollLoop();
    void pollOnce();
    bool connectLocked();  // session lock held
    void loseLocked(const std::string &why);
    CommandResult allOffLocked();
    void publishStatus();
    bool requestLocked(int32_t index, const std::string &payload, bool hasPayload, Answer *answer, std::string *error);

    ConsoleSettings settings_;
    EventHub &hub_;
    int32_t level_ = -1;

    std::mutex sessionMutex_;  // the session and every request on it
    Session session_;

    std::mutex stateMutex_;    // everything below
    LinkState link_ = LINK_CONNECTING;
    std::string linkMessage_;
    LossCause lossCause_ = LOSS_UNKNOWN;
    nlohmann::json serial_ = nlohmann::json::array();
    std::string machineClock_;
    Telemetry telemetry_;
    std::vector<ChartSample> history_;
    nlohmann::json commanded_ = nlohmann::json::object();
    int pollCount_ = 0;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread poller_;
};
