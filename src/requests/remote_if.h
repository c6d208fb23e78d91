// The daemon's own requests to machine control. Each sends one request
// through the request channel (up to three tries) and reports the result as
// its kind says:
//   flag:        the first reply byte when the request succeeded (non-zero
//                meaning success), else 0;
//   status-only: the channel's IpcStatus (0 = success), the reply unread;
//   value:       the value read from the reply, else 0;
//   copy:        as flag, and the listed reply bytes copied to the caller.
// A request succeeds when the channel returns 0 and the reply status is 0;
// a reply too short for what a request reads counts as a failure.
#pragma once

#include <cstdint>

int RemoteIF_setRemoteIFActive(uint8_t active);                  // status-only
uint8_t RemoteIF_getRemoteIFActive();                            // flag
uint8_t RemoteIF_getPrimaryMotorData();                          // flag; data comes as an event
uint8_t RemoteIF_requestSecondaryMotorData();                    // flag; data comes as an event
int RemoteIF_activateBlackBoxLogging(uint8_t on);                // status-only
uint64_t RemoteIF_getSysTime();                                  // value: machine time in ms
// The machine time in ms, telling a failed request from a time of 0: false
// (and *timeMs unchanged) when machine control gave no time.
bool RemoteIF_querySysTime(uint64_t *timeMs);
uint8_t RemoteIF_getVersion(uint8_t destination[32]);            // copy: reply bytes 4-35
uint8_t RemoteIF_getBackendSerialNumber(uint8_t *destination, uint16_t length);   // copy from reply byte 12
uint8_t RemoteIF_getBackendArticleNumber(uint8_t *destination, uint16_t length);  // copy from reply byte 12
int16_t RemoteIF_getMotorValueFT();                              // value
int32_t RemoteIF_getMotorValueTS();                              // value
int RemoteIF_activateRemoteHeatingControl(uint8_t on);           // status-only
uint8_t RemoteIF_getBalanceCalibrationValues(int32_t *first, int32_t *second);    // copy
uint8_t RemoteIF_setBalanceCalibrationValues(uint8_t first, int32_t second, int32_t third);  // flag
int32_t RemoteIF_getBalanceTaraValue();                          // value
int RemoteIF_setBalanceTaraValue(int32_t tare);                  // status-only
uint8_t RemoteIF_setHeating(uint8_t on);                         // flag
uint8_t RemoteIF_handleBowl(uint8_t close);                      // flag
uint8_t RemoteIF_handlePowerRelay(uint8_t close);                // flag
uint8_t RemoteIF_setSpeed(uint8_t first, uint16_t second, uint16_t third, uint16_t fourth);  // flag
uint8_t RemoteIF_resetMC();                                      // flag
uint8_t RemoteIF_powerOff(uint16_t delayMs);                     // flag
uint8_t RemoteIF_resetPowerRelayLock();                          // flag
uint8_t RemoteIF_resetCoverSwitchLock();                         // flag
uint8_t RemoteIF_sendTestModeCommand(int32_t command);           // flag
uint8_t RemoteIF_setAmbilightPWM(uint8_t red, uint8_t green);    // flag
uint8_t RemoteIF_SetWarmStart(uint8_t on);                       // flag
uint8_t RemoteIF_setTransportTime(uint16_t timeMs);              // flag
