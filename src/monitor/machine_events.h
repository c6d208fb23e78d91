// What the daemon does with machine control's events: the handlers the
// event dispatcher calls with the fields it read from each event's payload
// (the dispatcher only calls them when the payload holds every field).
// The event time is the 64-bit time stamp in bytes 0-7 of the payload.
#pragma once

#include <cstdint>

void GUI_IF_onCurrentTemperatureChanged(uint32_t temperature);          // event 2
void GUI_IF_onSpeedChangedByApplication(int32_t speed);                // events 5, 6
void GUI_IF_onRotationDirectionChanged(int32_t direction);             // event 7
void GUI_IF_onMotorModeChanged(int32_t mode);                          // events 8, 9
void GUI_IF_onErrorAndWarnings(int32_t error);                         // event 11
void GUI_IF_onTimeChangedByApplication(uint32_t minutes, uint32_t seconds);  // events 13, 14
void GUI_IF_onSpeedStatusChanged(int32_t status);                      // event 15
void RemoteIF_onEvent(uint64_t eventTime, uint8_t code, uint16_t value);     // event 18
// Events 19, 21, 22: the whole payload, at least 28, 20 and 18 bytes long.
void RemoteIF_onErrorEvent(const uint8_t *payload);
void RemoteIF_onNewPrimaryMotorData(const uint8_t *payload);
void RemoteIF_onNewSecondaryMotorData(const uint8_t *payload);
void RemoteIF_onNewTestModeCmdData(uint8_t code, uint16_t data);       // event 23
void RemoteIF_onHeatingControl(uint64_t eventTime, uint16_t value, uint8_t state);  // event 24
