// The GUI's requests, which the daemon sends to machine control as the GUI
// would when a user touches the screen or turns the knob. Fire and forget:
// each waits for the reply but reports nothing; machine control answers
// with events.
#pragma once

#include <cstdint>

void GUI_IF_setTimeByGUI(int32_t minutes, int32_t seconds);
void GUI_IF_setTurboTimeByGUI(int32_t milliseconds);
void GUI_IF_setTemperatureByGUI(int32_t temperature);
void GUI_IF_setSnapSpeedByGUI(int32_t speed);
void GUI_IF_reportUserActivity(int32_t activity);
void GUI_IF_reportGUIStatus(int32_t status);
void GUI_IF_RequestAutomatedRecipe(int32_t first, int32_t second, int32_t third);
void GUI_IF_popupAcknowledgedByUser(int32_t error);
void GUI_IF_RequestRotationByGUI(int32_t direction);
void GUI_IF_RequestMotorFunctionByGUI(int32_t function);
void GUI_IF_RequestRotaryModeByGUI(int32_t mode);
void GUI_IF_EnableBalance();
void GUI_IF_DisableBalance();
void GUI_IF_ResetBalance();
void GUI_IF_setRemoteCommands(uint16_t command);

// Writes a black-box record with the error number as code; sends nothing.
void GUI_IF_writeErrorToBlackBox(int32_t error, const char *text);
