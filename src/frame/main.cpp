// The daemon's process entry: start-up, serving, and the orderly shutdown.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "commands/service/file_commands.h"
#include "commands/service/identity.h"
#include "commands/service/scale.h"
#include "frame/log.h"
#include "frame/run_state.h"
#include "frame/startup.h"
#include "monitor/monitor_threads.h"
#include "platform/clock.h"
#include "platform/daemon_lock.h"
#include "platform/shell.h"
#include "requests/mcl_event_dispatch.h"
#include "requests/request_channel.h"
#include "requests/startup_requests.h"
#include "session/command_table.h"
#include "session/auth.h"
#include "session/daemon_commands.h"
#include "session/session.h"
#include "session/socket_io.h"

// Ends the process at once: no thread is joined, nothing of the orderly
// shutdown runs and the supervisor is not told. _exit, because exit() may
// not be called from a signal handler.
static void onSigterm(int signal)
{
    if (signal != SIGTERM)
        return;
    stopRequested = true;
    _exit(15);
}

static void installSigtermHandler()
{
    struct sigaction action = {};
    action.sa_handler = onSigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
}

// The orderly end, from the step after the client state monitor.
static int shutDown()
{
    LOGGER_LogMessage(5, 0, "[MIF] Shutting down...");
    requestStop();
    joinMonitoringThreads();
    joinConnectionMonitor();
    releaseCaldata();
    closeListeningSocket();
    // The logger client goes first: it pushes the lines still queued, which
    // needs the messaging layer that Deinit_Ipc closes after it.
    Deinit_Ipc();
    consoleLog(0, "\nMachine Interface shutdown\n");
    return 0;
}

int main(int argc, char **argv)
{
    CommandLine line = parseCommandLine(argc, argv);
    if (line.action != COMMAND_LINE_SERVE)
        return answerCommandLine(line, authKeysAreDevelopmentSet(), stdout, stderr);
    // Before any socket or device is touched: a second daemon on the same
    // root would take the supervisor's handshake, the input devices and the
    // listening port's retries from the one already serving.
    // A lock that cannot be made at all does not keep the service away.
    pid_t holder = 0;
    int lockError = acquireDaemonLock(&holder);
    if (lockError == -EWOULDBLOCK) {
        fprintf(stderr, "mifd: another mifd (pid %ld) is running on this root (it holds %s); not starting\n",
                long(holder), daemonLockPath().c_str());
        return 1;
    }
    if (lockError != 0)
        fprintf(stderr, "mifd: cannot take the lock %s (%s); starting without it\n", daemonLockPath().c_str(),
                strerror(-lockError));
    // Machine control's events may come as soon as the subscriptions exist.
    installMclEventTable(kMclEventTable, kMclEventTableSize);
    Init_Ipc();
    installSigtermHandler();
    installCommandTable(kDaemonCommandTable);
    removeUnfinishedUploads();
    openConsole();
    reportDevelopmentKeys();
    readIdentity();
    readCaldata();
    LOGGER_LogMessage(5, 0, "%s: Socket timeout value is %i ms\n", "initMachineInterface", SOCKET_TIMEOUT_MS);

    if (unsigned delay = readStartDelay())
        sleepMs(delay);
    bool serialSet = serialNumberIsSet();
    killHeartbeatScript();
    machineStartup(serialSet, line.noWait);
    startMonitoringThreads();
    guiStartup();

    if (int error = startConnectionMonitor(line.listenAddress)) {
        LOGGER_LogMessage(3, 0, "[MIF] Error starting connection monitor thread, error number: %i\n", error);
        return shutDown();
    }
    if (int error = startClientStateMonitor()) {
        LOGGER_LogMessage(3, 0, "[MIF] Error starting client state monitor thread, error number: %i\n", error);
        return shutDown();
    }

    if (int error = joinClientStateMonitor()) {
        LOGGER_LogMessage(3, 0, "[MIF] Error joining client state monitor thread, error number: %i\n", error);
        return shutDown();
    }
    if (shutdownRequested)
        reportShutdownToSupervisor();
    fprintf(stderr, "\nMachine Interface shutdown\n");
    sleepMs(1000);
    return shutDown();
}
