// A stand-in for the request catalogue in unit tests: the few machine
// control and GUI requests the service commands send, answered from this
// structure and recorded in it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

struct FakeMachineControl {
    // setBalanceCalibrationValues: every call, and how many calls fail
    // before machine control takes them (-1: all fail).
    std::vector<std::array<int32_t, 3>> calibrationCalls;
    int calibrationFailures = 0;

    int32_t tare = 0;                 // getBalanceTaraValue's answer
    std::vector<int32_t> tareSet;     // setBalanceTaraValue's arguments
    int resetBalanceCalls = 0;

    std::vector<uint8_t> blackBoxLogging;   // activateBlackBoxLogging's arguments

    uint64_t sysTime = 0;             // getSysTime's answer (0: no answer)

    bool versionAnswers = true;
    uint8_t versions[32] = {};
    int versionCalls = 0;

    bool serialAnswers = true;
    uint8_t backendSerial[32] = {};
    std::vector<uint16_t> serialLengths;
};

extern FakeMachineControl fakeMcl;
