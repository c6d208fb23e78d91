// What the console pushes to its pages: a numbered stream of named events
// (server-sent events), of which the newest few are kept so that a page
// that reads a little late misses nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct HubEvent {
    uint64_t seq = 0;
    std::string name;  // "status", "sample", "records", "progress"
    std::string data;  // one line of JSON
};

class EventHub {
public:
    // Appends an event and wakes every waiting reader.
    void publish(const std::string &name, const std::string &data);

    // The events after `seq`, waiting up to `timeoutMs` for one to come.
    // Returns false once the hub is closed. A reader that fell further
    // behind than the hub keeps starts again at the oldest event kept.
    bool waitAfter(uint64_t seq, int timeoutMs, std::vector<HubEvent> *out);

    // The number of the newest event (0 before the first).
    uint64_t lastSeq();

    // Ends every wait: the console is stopping.
    void close();

private:
    enum { KEEP = 512 };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<HubEvent> events_;
    uint64_t lastSeq_ = 0;
    bool closed_ = false;
};

// A value as one line of JSON. Text from the appliance or the file system
// need not be UTF-8 (a package version, a key's path): bytes that are not
// are sent as U+FFFD rather than ending the answer, or the console, with
// an exception.
std::string jsonLine(const nlohmann::json &value);

// One event in the server-sent events format.
std::string sseFrame(const HubEvent &event);
