// The console's event stream.
#include "event_hub.h"

#include <chrono>

void EventHub::publish(const std::string &name, const std::string &data)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(HubEvent{++lastSeq_, name, data});
        while (events_.size() > KEEP)
            events_.pop_front();
    }
    changed_.notify_all();
}

bool EventHub::waitAfter(uint64_t seq, int timeoutMs, std::vector<HubEvent> *out)
{
    out->clear();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_ || lastSeq_ > seq; });
    if (closed_)
        return false;
    for (const HubEvent &event : events_)
        if (event.seq > seq)
            out->push_back(event);
    return true;
}

uint64_t EventHub::lastSeq()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSeq_;
}

void EventHub::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

std::string sseFrame(const HubEvent &event)
{
    // The data is one line of JSON, so one data: field carries it.
    return "id: " + std::to_string(event.seq) + "\nevent: " + event.name + "\ndata: " + event.data + "\n\n";
}

std::string jsonLine(const nlohmann::json &value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
