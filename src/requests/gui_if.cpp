// The GUI's request codes, sent to machine control as the GUI would send
// them: each a constant header (code and replace flag) and a small payload.
#include "requests/gui_if.h"

#include <cstdio>

#include "frame/log.h"
#include "requests/request_channel.h"
#include "requests/request_codes.h"

namespace {

// Sends one request; the answer is not reported.
void sendGui(uint32_t code, uint8_t replace, const void *payload, int length)
{
    RequestHeader header{};
    header.requestCode = code;
    header.replace = replace;
    GUI_SendRequest(MCL_PROCESS_NAME, &header, payload, length);
}

// Logs the request's name and sends it.
void guiRequest(const char *name, uint32_t code, uint8_t replace, const void *payload, int length)
{
    LOGGER_LogMessage(6, 0, "%s", name);
    sendGui(code, replace, payload, length);
}

void guiRequest(const char *name, uint32_t code, uint8_t replace, int32_t value)
{
    guiRequest(name, code, replace, &value, sizeof value);
}

// The balance requests carry one zero byte.
void guiBalanceRequest(const char *name, uint32_t code, uint8_t replace)
{
    uint8_t zero = 0;
    guiRequest(name, code, replace, &zero, 1);
}

} // namespace

void GUI_IF_setTimeByGUI(int32_t minutes, int32_t seconds)
{
    int32_t payload[2] = {minutes, seconds};
    guiRequest(__func__, GUI_SET_TIME, 0, payload, sizeof payload);
}

void GUI_IF_setTurboTimeByGUI(int32_t milliseconds) { guiRequest(__func__, GUI_SET_TURBO_TIME, 0, milliseconds); }
void GUI_IF_setTemperatureByGUI(int32_t temperature) { guiRequest(__func__, GUI_SET_TEMPERATURE, 1, temperature); }
void GUI_IF_setSnapSpeedByGUI(int32_t speed) { guiRequest(__func__, GUI_SET_SNAP_SPEED, 1, speed); }
void GUI_IF_reportUserActivity(int32_t activity) { guiRequest(__func__, GUI_REPORT_USER_ACTIVITY, 0, activity); }
void GUI_IF_reportGUIStatus(int32_t status) { guiRequest(__func__, GUI_REPORT_GUI_STATUS, 0, status); }

void GUI_IF_RequestAutomatedRecipe(int32_t first, int32_t second, int32_t third)
{
    int32_t payload[3] = {first, second, third};
    guiRequest(__func__, GUI_REQUEST_AUTOMATED_RECIPE, 0, payload, sizeof payload);
}

void GUI_IF_popupAcknowledgedByUser(int32_t error) { guiRequest(__func__, GUI_POPUP_ACKNOWLEDGED, 0, error); }
void GUI_IF_RequestRotationByGUI(int32_t direction) { guiRequest(__func__, GUI_REQUEST_ROTATION, 0, direction); }
void GUI_IF_RequestMotorFunctionByGUI(int32_t function) { guiRequest(__func__, GUI_REQUEST_MOTOR_FUNCTION, 0, function); }
void GUI_IF_RequestRotaryModeByGUI(int32_t mode) { guiRequest(__func__, GUI_REQUEST_ROTARY_MODE, 1, mode); }
void GUI_IF_EnableBalance() { guiBalanceRequest(__func__, GUI_ENABLE_BALANCE, 0); }
void GUI_IF_DisableBalance() { guiBalanceRequest(__func__, GUI_DISABLE_BALANCE, 0); }
void GUI_IF_ResetBalance() { guiBalanceRequest(__func__, GUI_RESET_BALANCE, 1); }

void GUI_IF_setRemoteCommands(uint16_t command)
{
    LOGGER_LogMessage(6, 0, "%s : %d", __func__, int(command));
    sendGui(GUI_SET_REMOTE_COMMANDS, 0, &command, sizeof command);
}

void GUI_IF_writeErrorToBlackBox(int32_t error, const char *text)
{
    LOGGER_LogMessage(6, 0, "%s", __func__);
    char code[16];
    snprintf(code, sizeof code, "%d", int(error));
    LOGGER_LogBlackboxRecord(code, text);
}
