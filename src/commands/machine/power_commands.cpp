// Commands on the appliance as a whole: permanent errors, power-down,
// reset of machine control, the GUI's error pop-up, test mode and the
// network daemon's GUI-less mode.
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "commands/machine/command_args.h"
#include "commands/machine/machine_commands.h"
#include "monitor/gui_state.h"
#include "monitor/tables.h"
#include "platform/paths.h"
#include "requests/gui_if.h"
#include "requests/remote_if.h"
#include "requests/request_channel.h"

namespace {

// Other software on the appliance marks a permanent error as present by
// creating its file; the daemon only looks whether it can be read.
const char *const kPowerRelayLockFile = "/mnt/rwfs/data/system_config/permanent_error.dat";   // error 72
const char *const kCoverSwitchLockFile = "/mnt/rwfs/data/system_config/permanent_error_150.dat";

bool flagFileSet(const char *appliancePath)
{
    int fd = open(mifPath(appliancePath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

const char *permanentErrorStatus()
{
    bool relay = flagFileSet(kPowerRelayLockFile);
    bool cover = flagFileSet(kCoverSwitchLockFile);
    if (relay && cover)
        return "72;150";
    if (relay)
        return "72";
    if (cover)
        return "150";
    return "NOTSET";
}

// The errors whose pop-up the GUI shows and that an acknowledgement
// concerns; any other pending error is acknowledged as none.
bool acknowledgedByPopup(int32_t error)
{
    switch (error) {
    case enErr_NoCoverDetected:
    case enErr_SystemError:
    case enErr_CleanContacts:
    case enErr_MotorOverloaded:
    case enErr_MotorTooHot:
    case enErr_BowlNotPresent:
    case enErr_LidError:
    case enErr_LidRollersError:
    case enErr_CallSupport:
    case enErr_LidSensorBlockedError:
    case enErr_InterlockContactOpen:
    case enErr_LidSensorBlockedPermanentlyError:
        return true;
    default:
        return false;
    }
}

} // namespace

Command *cmdHandler_MCHFaOk(Command *request, int /*socket*/)
{
    const char *text = argumentText(request);
    // Without an argument error 72 is reset, as clients have always done.
    if (!text || strcmp(text, "72") == 0)
        return answerOutcome(request, RemoteIF_resetPowerRelayLock() != 0);
    if (strcmp(text, "150") == 0)
        return answerOutcome(request, RemoteIF_resetCoverSwitchLock() != 0);
    if (strcmp(text, "STATUS") == 0)
        return answerText(request, permanentErrorStatus());
    return answerText(request, "NAK: Wrong arguments, specify error code to reset (no argument will reset error 72 "
                               "for compatibility reasons) or \"STATUS\" to query its status!");
}

Command *cmdHandler_MCHPwrDown(Command *request, int /*socket*/)
{
    uint16_t delay = 0;
    if (Command *error = parseMillisArgument(request, &delay))
        return error;
    return answerOutcome(request, RemoteIF_powerOff(delay) != 0);
}

Command *cmdHandler_MCHResetMC(Command *request, int /*socket*/)
{
    return answerOutcome(request, RemoteIF_resetMC() != 0);
}

Command *cmdHandler_MCHRecovrErrStat(Command *request, int /*socket*/)
{
    // The error stays pending: a motor command waiting for its target still
    // has to see it.
    int32_t error = getLastGuiError(true);
    GUI_IF_popupAcknowledgedByUser(acknowledgedByPopup(error) ? error : 0);
    return answerAck(request);
}

Command *cmdHandler_MCHMctestCmd(Command *request, int /*socket*/)
{
    static const char *const kWrongArgument = "NAK: Wrong argument, specify command code or command name!";
    const char *text = argumentText(request);
    if (!text)
        return answerText(request, kWrongArgument);
    // A number is sent as it is, known to the table or not; otherwise the
    // text must be a name of the table, exactly.
    Command *error = nullptr;
    int32_t code = parseArgINT32(request, text, &error);
    if (error) {
        deleteCommand(&error);
        if (!mctestCommandCode(text, &code))
            return answerText(request, kWrongArgument);
    }
    // Machine control reports the outcome of a test command as an event.
    RemoteIF_sendTestModeCommand(code);
    return answerAck(request);
}

Command *cmdHandler_MCHNoGuiSwitch(Command *request, int /*socket*/)
{
    return answerOutcome(request, setNoGuiSwitch());
}
