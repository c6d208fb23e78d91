#include "monitor/monitor_threads.h"

#include <system_error>
#include <thread>

#include "frame/log.h"
#include "monitor/input_monitor.h"
#include "monitor/sec_mot_data.h"

namespace {

std::thread touchThread;
std::thread rotaryThread;
std::thread pollThread;

void start(std::thread &thread, void (*body)(), const char *name)
{
    if (thread.joinable())
        return;   // already running: one of each
    try {
        thread = std::thread(body);
    } catch (const std::system_error &error) {
        LOGGER_LogMessage(3, 0, "%s,%i: cannot start %s: %s\n", "startMonitoringThreads", __LINE__, name,
                          error.what());
    }
}

void join(std::thread &thread)
{
    if (thread.joinable())
        thread.join();
}

} // namespace

void startMonitoringThreads()
{
    start(touchThread, touchMonitor, "touchMonitor");
    start(rotaryThread, rotaryMonitor, "rotaryMonitor");
    start(pollThread, pollSecMotData, "pollSecMotData");
}

void joinMonitoringThreads()
{
    join(touchThread);
    join(rotaryThread);
    join(pollThread);
}
