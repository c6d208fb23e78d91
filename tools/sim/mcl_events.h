// The events machine control publishes, with their payload layouts.
//
// GUI events (ids below 17) go out on topic 0, machine events (17 and up)
// on topic 1. Machine events carry the machine time (u64) in payload bytes
// 0-7; the fields after it are laid out as the daemon reads them.
#pragma once

#include <cstdint>
#include <string>

#include "wire_bytes.h"

struct SimEvent {
    uint64_t dueMs = 0;      // machine time at which it goes out
    uint16_t topic = 0;
    uint32_t id = 0;
    Bytes payload;
};

// Event ids 2, 5-10, 15: one 32-bit value.
SimEvent eventValue(uint32_t id, int32_t value);
// 11: the error code and a warning word (0).
SimEvent eventError(int32_t code);
// 13, 14: the timer as minutes and seconds.
SimEvent eventTimer(uint32_t id, uint32_t minutes, uint32_t seconds);
// 18: lid, bowl and transport events: code at byte 10, value at 12.
SimEvent eventRemote(uint64_t timeMs, uint8_t code, uint16_t value);

// 19: what the machine knew when an error came up.
struct ErrorDetails {
    uint8_t code = 0;
    uint8_t raised = 0;              // 1 raised, 0 cleared
    int16_t motorTemperature = 0;    // degrees Celsius
    int16_t bowlTemperature = 0;
    int16_t motorSpeed = 0;
    int16_t motorCurrent = 0;        // mA
    uint16_t operatingHours = 0;
    uint16_t errorCount = 0;
    uint16_t supplyVoltage = 0;      // V
    uint16_t reserved = 0;
};
SimEvent eventErrorDetails(uint64_t timeMs, const ErrorDetails &details);

// 20: the scale's raw AD value at byte 8 and a stable flag at 12.
SimEvent eventScaleAd(uint64_t timeMs, int32_t adValue, bool stable);

// 21: primary motor data.
struct PrimaryMotorData {
    int16_t bowlTemperature = 0;     // BT, degrees Celsius
    int16_t motorTemperature = 0;    // MT
    int16_t motorSpeed = 0;          // MS
    uint16_t motorCurrent = 0;       // MC, mA
    uint8_t heating = 0;             // HT
};
SimEvent eventPrimaryMotorData(uint64_t timeMs, const PrimaryMotorData &data);

// 22: secondary motor data.
struct SecondaryMotorData {
    uint16_t motorCurrent = 0;       // MC, mA
    uint16_t torque = 0;             // TC, mNm
    int16_t motorSpeed = 0;          // MS
    int16_t motorAngle = 0;          // MA, degrees
};
SimEvent eventSecondaryMotorData(uint64_t timeMs, const SecondaryMotorData &data);

// 23: the test command's code (byte 0) and its result (bytes 2-3).
SimEvent eventTestModeData(uint8_t code, uint16_t data);

// 24: heating control: target value at byte 8, heater state at 10.
SimEvent eventHeatingControl(uint64_t timeMs, uint16_t value, bool on);

// "id 18 code 50" and the like, for the console.
std::string describeEvent(const SimEvent &event);
