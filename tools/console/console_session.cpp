// The session, the poller and what they learn about the machine.
#include "console_session.h"

#include <chrono>
#include <cstdio>

#include "all_off.h"
#include "caldata.h"
#include "catalog.h"
#include "gate.h"
#include "local_port.h"
#include "platform/clock.h"
#include "serial_info.h"
#include "session/command_list.h"
#include "state_log.h"

enum {
    HISTORY_KEEP = 7200,   // chart samples kept for a page opened later: an hour at two a second
    CLOCK_EVERY_POLLS = 4, // the machine clock is read every fourth poll
};

static const char *linkName(LinkState link)
{
    switch (link) {
    case LINK_CONNECTING: return "connecting";
    case LINK_UP: return "up";
    case LINK_UNREACHABLE: return "unreachable";
    case LINK_REFUSED: return "refused";
    case LINK_LOST: return "lost";
    }
    return "?";
}

static const char *lossCauseName(LossCause cause)
{
    switch (cause) {
    case LOSS_DISPLACED: return "displaced";
    case LOSS_STOPPED: return "stopped";
    case LOSS_UNKNOWN: break;
    }
    return "";
}

// A daemon on this machine is seen listening or not; one elsewhere cannot
// be asked without taking its session from whoever has it now.
static LossCause findLossCause(const Endpoint &daemon)
{
    if (!isLoopbackAddress(daemon.host))
        return LOSS_UNKNOWN;
    const int listening = localPortListening(daemon.port);
    return listening < 0 ? LOSS_UNKNOWN : listening ? LOSS_DISPLACED : LOSS_STOPPED;
}

// openSession says what went wrong in words; the banner needs the kind.
static LinkState classifyOpenFailure(const std::string &error)
{
    if (error.rfind("authentication refused", 0) == 0 || error.rfind("cannot sign", 0) == 0)
        return LINK_REFUSED;
    return LINK_UNREACHABLE;
}

ConsoleSession::ConsoleSession(const ConsoleSettings &settings, EventHub &hub)
    : settings_(settings), hub_(hub), level_(roleLevel(settings.key.role))
{
}

ConsoleSession::~ConsoleSession()
{
    stop();
}

void ConsoleSession::start()
{
    poller_ = std::thread([this] { pollLoop(); });
}

void ConsoleSession::stop()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (poller_.joinable())
        poller_.join();
}

// ------------------------------------------------------------- the link

bool ConsoleSession::connectLocked()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        link_ = LINK_CONNECTING;
        linkMessage_.clear();
    }
    publishStatus();
    std::string error;
    Session fresh;
    if (!openSession(settings_.endpoint, settings_.key, settings_.timeoutMs, &fresh, &error)) {
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            link_ = classifyOpenFailure(error);
            linkMessage_ = error;
        }
        publishStatus();
        return false;
    }
    session_ = std::move(fresh);

    // Who the appliance is: asked once per session.
    Answer answer;
    nlohmann::json serial = nlohmann::json::array();
    if (requestLocked(MCH_GET_SERIAL, "", false, &answer, &error) && !answerIsNak(answer)) {
        std::vector<SerialField> fields;
        if (parseSerialAnswer(answerText(answer), &fields))
            for (const SerialField &f : fields)
                serial.push_back({{"key", f.key}, {"label", f.label}, {"value", f.value}});
        else
            serial.push_back({{"key", "?"}, {"label", "identity as sent"}, {"value", answerText(answer)}});
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        link_ = session_.socket.get() >= 0 ? LINK_UP : LINK_LOST;
        linkMessage_ = session_.socket.get() >= 0 ? "" : error;
        serial_ = serial;
    }
    publishStatus();
    return session_.socket.get() >= 0;
}

void ConsoleSession::loseLocked(const std::string &why)
{
    session_.socket.reset();
    const LossCause cause = findLossCause(settings_.endpoint);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (link_ != LINK_UP)
            return;
        link_ = LINK_LOST;
        linkMessage_ = why;
        lossCause_ = cause;
    }
    publishStatus();
}

void ConsoleSession::reconnect()
{
    std::lock_guard<std::mutex> lock(sessionMutex_);
    session_.socket.reset();
    connectLocked();
}

bool ConsoleSession::requestLocked(int32_t index, const std::string &payload, bool hasPayload, Answer *answer,
                                   std::string *error)
{
    if (session_.socket.get() < 0) {
        *error = "not connected";
        return false;
    }
    if (request(session_, index, payload, hasPayload, answer, error))
        return true;
    // A failed request leaves the stream out of step: the session is over.
    loseLocked(*error);
    return false;
}

// ------------------------------------------------------------- polling

void ConsoleSession::pollLoop()
{
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        connectLocked();
    }
    std::unique_lock<std::mutex> lock(wakeMutex_);
    while (!stopping_) {
        lock.unlock();
        // A poll that fails on odd data is skipped; the next one tries again.
        try {
            pollOnce();
        } catch (const std::exception &e) {
            fprintf(stderr, "mif-console: a poll of the machine failed: %s\n", e.what());
        }
        lock.lock();
        wake_.wait_for(lock, std::chrono::milliseconds(settings_.pollMs), [this] { return stopping_; });
    }
}

void ConsoleSession::pollOnce()
{
    std::vector<StateRecord> records;
    bool haveRecords = false, haveWeight = false;
    std::string weightText, clockText, error;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        if (session_.socket.get() < 0)
            return;
        Answer answer;
        // The state log needs level 5; a key of unknown role tries.
        if (level_ < 0 || level_ >= 5) {
            if (!requestLocked(MCH_GET_STATE, "", false, &answer, &error))
                return;
            if (!answerIsNak(answer)) {
                records = decodeStateLog(answerText(answer));
                haveRecords = true;
            }
        }
        if (!requestLocked(MCH_GET_WEIGHT, "", false, &answer, &error))
            return;
        weightText = answerText(answer);
        haveWeight = true;
        if ((level_ < 0 || level_ >= 5) && pollCount_ % CLOCK_EVERY_POLLS == 0) {
            if (!requestLocked(MCH_GET_SYSTIME, "", false, &answer, &error))
                return;
            const std::string text = answerText(answer);
            char *end = nullptr;
            const unsigned long long ms = strtoull(text.c_str(), &end, 10);
            clockText = answerIsNak(answer) || end == text.c_str() ? text
                        : ms == 0 ? std::string("no answer from machine control")
                                  : formatStateTime(ms);
        }
    }

    const int64_t now = wallClockMs();
    nlohmann::json sample, panel;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        pollCount_++;
        if (haveRecords)
            applyStateRecords(telemetry_, records, now);
        if (haveWeight && !applyWeightAnswer(telemetry_, weightText))
            telemetry_.panel["weight"] = {{"text", weightText}};
        if (!clockText.empty())
            machineClock_ = clockText;
        ChartSample s = takeSample(telemetry_, now);
        history_.push_back(s);
        if (history_.size() > HISTORY_KEEP)
            history_.erase(history_.begin(), history_.begin() + (history_.size() - HISTORY_KEEP));
        sample = sampleJson(s);
        panel = telemetry_.panel;
        panel["machine_clock"] = {{"text", machineClock_}};
        for (auto &[key, value] : commanded_.items())
            panel[key] = value;
    }
    if (haveRecords && !records.empty())
        hub_.publish("records", jsonLine(recordsJson(records)));
    hub_.publish("sample", jsonLine(sample));
    hub_.publish("panel", jsonLine(panel));
}

// ------------------------------------------------------------- requests

std::string ConsoleSession::levelRefusal(int32_t commandIndex) const
{
    const CommandRow *row = findCommandByIndex(commandIndex);
    if (!row || level_ < 0 || level_ >= row->level)
        return "";
    return std::string(row->name) + " needs level " + std::to_string(row->level) + "; the " +
           settings_.key.role + " key grants level " + std::to_string(level_);
}

CommandResult ConsoleSession::run(const PreparedRequest &req, const std::string &transferId)
{
    CommandResult result;
    const CommandRow *row = findCommandByIndex(req.index);
    result.command = row ? row->name : "?";
    result.text = levelRefusal(req.index);
    if (!result.text.empty())
        return result;

    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (session_.socket.get() < 0) {
        result.text = "not connected to the daemon";
        return result;
    }
    std::string error;
    Answer answer;
    int code = EXIT_ANSWER_OK;
    if (req.kind == REQUEST_ALL_OFF)
        return allOffLocked();
    if (req.kind == REQUEST_PLAIN) {
        if (!requestLocked(req.index, req.payload, req.hasPayload, &answer, &error)) {
            result.text = error;
            return result;
        }
        code = answerIsNak(answer) ? EXIT_ANSWER_NAK : EXIT_ANSWER_OK;
    } else if (req.kind == REQUEST_UPLOAD || req.kind == REQUEST_DOWNLOAD) {
        TransferOptions options;
        options.label = req.label;
        options.answerTimeoutMs = req.answerTimeoutMs;
        options.answer = &answer;
        int64_t lastReport = -1;
        options.onProgress = [&](uint64_t done, uint64_t total) {
            // At most ten reports a second, and always the last.
            const int64_t now = monotonicMs();
            if (done < total && lastReport >= 0 && now - lastReport < 100)
                return;
            lastReport = now;
            hub_.publish("progress", jsonLine(nlohmann::json{{"id", transferId}, {"done", done}, {"total", total}}));
        };
        code = req.kind == REQUEST_UPLOAD ? uploadFile(session_, req.index, req.pieces, options, &error)
                                          : downloadFile(session_, req.index, req.payload, req.output, options, &error);
        if (code == EXIT_CONNECTION) {
            loseLocked(error);
            result.text = error;
            return result;
        }
        if (code == EXIT_USAGE) {
            result.text = error;
            return result;
        }
        if (req.kind == REQUEST_DOWNLOAD && code == EXIT_ANSWER_OK)
            answer.payload.assign({'A', 'C', 'K'});
    } else {
        result.text = "the console does not send this kind of request";
        return result;
    }
    result.sent = true;
    result.nak = code == EXIT_ANSWER_NAK;
    result.text = answerText(answer);
    // The same NAK stands for a stored first point and a refused one:
    // mifctl's reading of the table says which.
    CaldataOutcome outcome = CALDATA_UNKNOWN;
    std::string note;
    if (req.index == MCH_SET_CALDATA && req.hasPayload && result.nak) {
        if (!caldataOutcome(session_, req.payload, answer, &outcome, &note, &error)) {
            loseLocked(error);
            note = error;
        }
        result.nak = result.nak && outcome != CALDATA_FIRST_POINT;
        result.text += " (" + note + ")";
    }
    return result;
}

CommandResult ConsoleSession::allOff()
{
    PreparedRequest request;
    request.kind = REQUEST_ALL_OFF;
    request.index = MCH_SET_SPEED;   // the level the steps need
    return run(request, "");
}

CommandResult ConsoleSession::allOffLocked()
{
    CommandResult result;
    result.command = "all-off";
    std::vector<AllOffResult> steps;
    std::string error;
    const bool sent = ::allOff(session_, ACTUATOR_ALL, &steps, &error);
    for (const AllOffResult &step : steps) {
        result.text += (result.text.empty() ? "" : "; ") + step.what + ": " + step.answer;
        result.nak = result.nak || !step.ok;
    }
    result.sent = sent;
    if (!sent) {
        loseLocked(error);
        result.text += (result.text.empty() ? "" : "; ") + error;
    }
    return result;
}

void ConsoleSession::noteCommanded(const std::string &key, const std::string &value)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    commanded_[key] = {{"text", value}, {"set_here", true}};
}

// ------------------------------------------------------------- views

void ConsoleSession::publishStatus()
{
    hub_.publish("status", jsonLine(statusJson()));
}

nlohmann::json ConsoleSession::statusJson()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return {{"link", linkName(link_)},
            {"message", linkMessage_},
            {"cause", link_ == LINK_LOST ? lossCauseName(lossCause_) : ""},
            {"serial", serial_}};
}

nlohmann::json ConsoleSession::infoJson()
{
    nlohmann::json info = statusJson();
    info["host"] = settings_.endpoint.host;
    info["port"] = settings_.endpoint.port;
    info["role"] = settings_.key.role;
    info["level"] = level_;
    nlohmann::json levels = nlohmann::json::object();
    for (const CommandRow &row : kCommandRows)
        levels[row.name] = row.level;
    info["levels"] = levels;
    nlohmann::json logs = nlohmann::json::array();
    for (int i = 0; i < kLogRowCount; i++)
        logs.push_back({{"name", kLogRows[i].name}, {"file", logFileName(kLogRows[i])},
                        {"rotated", kLogRows[i].takesIndex}});
    info["logs"] = logs;
    // The catalogue's commands as the page offers them: level, words, help.
    nlohmann::json aliases = nlohmann::json::array();
    for (int i = 0; i < kAliasRowCount; i++) {
        const AliasRow &row = kAliasRows[i];
        nlohmann::json words = nlohmann::json::array();
        for (int w = 0; w < row.wordCount; w++)
            words.push_back(row.words[w].word);
        aliases.push_back({{"alias", row.alias}, {"level", aliasLevel(row)}, {"words", words},
                           {"synopsis", row.synopsis}, {"summary", row.summary}});
    }
    info["aliases"] = aliases;
    return info;
}

nlohmann::json ConsoleSession::historyJson()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const ChartSample &s : history_)
        list.push_back(sampleJson(s));
    return list;
}

nlohmann::json ConsoleSession::panelJson()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    nlohmann::json panel = telemetry_.panel;
    panel["machine_clock"] = {{"text", machineClock_}};
    for (auto &[key, value] : commanded_.items())
        panel[key] = value;
    return panel;
}
