// Start-up and shutdown conversations with machine control and the
// supervisor.
#include "requests/startup_requests.h"

#include <cstdio>

#include "frame/log.h"
#include "ipc/ipc.h"
#include "platform/paths.h"
#include "requests/gui_if.h"
#include "requests/remote_if.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"

namespace {

enum { SERIAL_LENGTH = 17 };

void pushToSupervisor(uint32_t code)
{
    PushHeader header{};
    header.code = code;
    IPC_Push(SUPERVISOR_PROCESS_NAME, &header, nullptr, 0);
}

} // namespace

bool serialNumberIsSet()
{
    FILE *file = fopen(mifPath("/mnt/rwfs/data/system_config/qxsn.dat").c_str(), "rb");
    if (!file)
        return false;
    char serial[SERIAL_LENGTH];
    size_t count = fread(serial, 1, sizeof serial, file);
    fclose(file);
    if (count != sizeof serial)
        return false;
    for (char c : serial)
        if (c != '0')
            return true;
    return false;
}

void machineStartup(bool serialSet, bool noWait)
{
    if (!serialSet)
        RemoteIF_SetWarmStart(1);
    RemoteIF_setRemoteIFActive(1);

    if (noWait) {
        LOGGER_LogMessage(5, 0, "[MIF] Started in NOWAIT Mode, starting without synchronising with Supervisor");
        return;
    }
    // The results are not checked: without its supervisor the daemon has
    // nothing better to do than to wait for it.
    LOGGER_LogMessage(5, 0, "[MIF] Started in NORMAL Mode, waiting for Supervisor");
    LOGGER_LogMessage(5, 0, "[MIF] send READY to Supervisor");
    pushToSupervisor(SUPERVISOR_READY);
    LOGGER_LogMessage(5, 0, "[MIF] wait for Start Event from Supervisor");
    IPC_WaitEvent(SUPERVISOR_TOPIC, SUPERVISOR_START_EVENT_BIT, SUPERVISOR_START_EVENT_BIT, 0);
    LOGGER_LogMessage(5, 0, "[MIF] send START to Supervisor");
    pushToSupervisor(SUPERVISOR_START);
}

void guiStartup()
{
    GUI_IF_EnableBalance();
    GUI_IF_RequestRotaryModeByGUI(ROTARY_MODE_NORMAL);
}

void reportShutdownToSupervisor()
{
    LOGGER_LogMessage(5, 0, "[MIF] Sending shutdown request to the supervisor");
    if (!sendShutdownRequest())
        LOGGER_LogMessage(3, 0, "[MIF] Shutdown request failed");
}
