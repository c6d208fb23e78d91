// Accepting clients into the two session slots, and noticing when the daemon
// may end.
#include "session/session.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "frame/run_state.h"
#include "platform/clock.h"
#include "session/wire.h"

namespace {

enum { LISTEN_RETRY_MS = 1000 };

struct ClientSlot {
    int socket = -1;
    std::thread thread;
    bool active = false;
    std::atomic<bool> stop{false};
};

// The session mutex guards the slots' socket and active fields and the
// session-started flag; it is never held across a join or a socket call.
std::mutex sessionLock;
ClientSlot slots[CLIENT_SLOT_COUNT];
bool sessionStarted = false;
std::atomic<int> listenFd{-1};

// A session that ended by itself leaves its thread unjoined and its socket
// open; both are reclaimed before the slot is used again and at shutdown.
void reclaimSlot(int i)
{
    ClientSlot &slot = slots[i];
    if (isClientActive(i))
        return;
    if (slot.thread.joinable())
        slot.thread.join();
    std::lock_guard<std::mutex> guard(sessionLock);
    if (slot.socket >= 0) {
        close(slot.socket);
        slot.socket = -1;
    }
}

} // namespace

int listeningSocket() { return listenFd.load(); }

void closeListeningSocket()
{
    int fd = listenFd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

bool isClientActive(int slot)
{
    std::lock_guard<std::mutex> guard(sessionLock);
    return slots[slot].active;
}

bool sessionSlotStopRequested(int slot) { return slots[slot].stop.load(); }

void markSessionStarted()
{
    std::lock_guard<std::mutex> guard(sessionLock);
    sessionStarted = true;
}

void markSessionEnded(int slot)
{
    {
        std::lock_guard<std::mutex> guard(sessionLock);
        slots[slot].active = false;
    }
    notifyRunStateChange();
}

void startClient(int slot, int socket)
{
    LOGGER_LogMessage(5, 0, "[MIF] Starting client %i with socket: %i\n", slot, socket);
    reclaimSlot(slot);
    {
        std::lock_guard<std::mutex> guard(sessionLock);
        slots[slot].socket = socket;
        slots[slot].active = true;
        slots[slot].stop = false;
    }
    try {
        slots[slot].thread = std::thread(MainHandler, slot);
    } catch (const std::system_error &) {
        LOGGER_LogMessage(3, 0, "[MIF] Creating client connection thread %i failed\n", slot);
        // Nothing runs in the slot: free it again so the next client can use it.
        std::lock_guard<std::mutex> guard(sessionLock);
        close(slots[slot].socket);
        slots[slot].socket = -1;
        slots[slot].active = false;
        return;
    }
    LOGGER_LogMessage(6, 0, "[MIF] Creating client connection thread %i\n", slot);
}

void stopClient(int slot)
{
    slots[slot].stop = true;
    LOGGER_LogMessage(5, 0, "[MIF] Stopping client connection thread %i\n", slot);
    // The session watches its own slot's flag: it notices within one 100 ms
    // receive poll, and a transfer it is in the middle of ends as quickly
    // (see setTransferStopCheck).
    if (slots[slot].thread.joinable())
        slots[slot].thread.join();
    LOGGER_LogMessage(6, 0, "[MIF] Stopped client connection thread %i\n", slot);
    std::lock_guard<std::mutex> guard(sessionLock);
    if (slots[slot].socket >= 0)
        close(slots[slot].socket);
    slots[slot].socket = -1;
    slots[slot].active = false;
    slots[slot].stop = false;
}

// Waits for a connection or for the stop flag, whichever comes first.
// Meanwhile sessions that ended by themselves give back their thread and
// socket, so an idle daemon holds nothing of a client that left.
static bool waitForConnection(int fd)
{
    while (!stopRequested) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true;   // let accept report the error
        for (int i = 0; i < CLIENT_SLOT_COUNT; i++)
            reclaimSlot(i);
    }
    return false;
}

// Creates the listening socket, trying again every second while it cannot
// be had (the port is taken, say), until shutdown: a daemon that does not
// listen serves nobody, and must not be quiet about it. -1 when the daemon
// ends first.
static int listenUntilBound(const char *listenAddress)
{
    bool reported = false;
    while (!stopRequested && !shutdownRequested) {
        int fd = registerSocket(listenAddress, reported);
        if (fd >= 0) {
            if (reported)
                LOGGER_LogMessage(5, 0, "%s: Listening for clients again\n", __func__);
            return fd;
        }
        if (!reported) {
            const char *reason = strerror(errno);
            consoleLog(1, "Cannot listen for clients (%s), trying again every second\n", reason);
            LOGGER_LogMessage(3, 0, "%s: Cannot listen for clients (%s), trying again every second\n", __func__,
                              reason);
            reported = true;
        }
        // A shutdown request wakes this wait.
        waitRunStateChange(LISTEN_RETRY_MS);
    }
    return -1;
}

void connectionMonitor(const char *listenAddress)
{
    for (int i = 0; i < CLIENT_SLOT_COUNT; i++) {
        std::lock_guard<std::mutex> guard(sessionLock);
        slots[i].socket = -1;
        slots[i].active = false;
        slots[i].stop = false;
    }
    int fd = listenUntilBound(listenAddress);
    listenFd = fd;
    LOGGER_LogMessage(5, 0, "%s: Socket to accept incoming connection requests: %i\n", __func__, fd);

    while (fd >= 0 && !stopRequested) {
        if (!waitForConnection(fd))
            break;
        int client = wait4Client2Connect(fd);
        if (client < 0) {
            LOGGER_LogMessage(3, 0, "%s: Error connecting...\n", __func__);
            // A full descriptor table fails every accept: pause instead of spinning.
            sleepMs(100);
            continue;
        }
        LOGGER_LogMessage(5, 0, "%s: Connected with socket: %i\n", __func__, client);
        if (!isClientActive(0)) {
            if (isClientActive(1))
                stopClient(1);
            startClient(0, client);
        } else {
            stopClient(0);
            startClient(1, client);
        }
    }

    if (isClientActive(1))
        stopClient(1);
    if (isClientActive(0))
        stopClient(0);
    reclaimSlot(0);
    reclaimSlot(1);
    LOGGER_LogMessage(6, 0, "%s: Exiting connection monitor thread\n", __func__);
}

// Ends once the daemon may end (a session has run, none is active and
// shutdown was asked), or once stop was requested otherwise; then joins the
// connection monitor.
void clientStateMonitor()
{
    while (!stopRequested) {
        bool started;
        {
            std::lock_guard<std::mutex> guard(sessionLock);
            started = sessionStarted;
        }
        if (started && !isClientActive(0) && !isClientActive(1) && shutdownRequested) {
            LOGGER_LogMessage(6, 0, "%s: All connections closed\n", __func__);
            LOGGER_LogMessage(6, 0, "%s: Exiting Connection monitor thread\n", __func__);
            requestStop();
            break;
        }
        // Sessions ending and shutdown requests wake this wait.
        waitRunStateChange(100);
    }
    joinConnectionMonitor();
}

// ------------------------------------------------------ the server threads

static std::thread connectionMonitorThread;
static std::thread clientStateMonitorThread;
static std::string listenAddressText;
static bool hasListenAddress = false;

static int startThread(std::thread *thread, void (*body)())
{
    try {
        *thread = std::thread(body);
    } catch (const std::system_error &e) {
        return e.code().value();
    }
    return 0;
}

int startConnectionMonitor(const char *listenAddress)
{
    hasListenAddress = listenAddress != nullptr;
    listenAddressText = listenAddress ? listenAddress : "";
    return startThread(&connectionMonitorThread,
                       [] { connectionMonitor(hasListenAddress ? listenAddressText.c_str() : nullptr); });
}

int startClientStateMonitor() { return startThread(&clientStateMonitorThread, clientStateMonitor); }

int joinClientStateMonitor()
{
    if (!clientStateMonitorThread.joinable())
        return EINVAL;
    try {
        clientStateMonitorThread.join();
    } catch (const std::system_error &e) {
        return e.code().value();
    }
    return 0;
}

void joinConnectionMonitor()
{
    // Joined by the client state monitor, or by the main thread when that
    // monitor never ran; never from the connection monitor itself.
    static std::mutex joinLock;
    std::lock_guard<std::mutex> guard(joinLock);
    if (connectionMonitorThread.joinable() && connectionMonitorThread.get_id() != std::this_thread::get_id())
        connectionMonitorThread.join();
}

int sessionSocket(int slot)
{
    std::lock_guard<std::mutex> guard(sessionLock);
    return slots[slot].socket;
}
