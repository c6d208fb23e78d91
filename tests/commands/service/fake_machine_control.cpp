#include "fake_machine_control.h"

#include <cstring>

#include "requests/gui_if.h"
#include "requests/remote_if.h"

FakeMachineControl fakeMcl;

uint8_t RemoteIF_setBalanceCalibrationValues(uint8_t first, int32_t second, int32_t third)
{
    fakeMcl.calibrationCalls.push_back({first, second, third});
    if (fakeMcl.calibrationFailures < 0)
        return 0;
    if (fakeMcl.calibrationFailures > 0) {
        fakeMcl.calibrationFailures--;
        return 0;
    }
    return 1;
}

int32_t RemoteIF_getBalanceTaraValue() { return fakeMcl.tare; }

int RemoteIF_setBalanceTaraValue(int32_t tare)
{
    fakeMcl.tareSet.push_back(tare);
    return 0;
}

void GUI_IF_ResetBalance() { fakeMcl.resetBalanceCalls++; }

int RemoteIF_activateBlackBoxLogging(uint8_t on)
{
    fakeMcl.blackBoxLogging.push_back(on);
    return 0;
}

uint64_t RemoteIF_getSysTime() { return fakeMcl.sysTime; }

uint8_t RemoteIF_getVersion(uint8_t destination[32])
{
    fakeMcl.versionCalls++;
    if (!fakeMcl.versionAnswers)
        return 0;
    memcpy(destination, fakeMcl.versions, 32);
    return 1;
}

uint8_t RemoteIF_getBackendSerialNumber(uint8_t *destination, uint16_t length)
{
    fakeMcl.serialLengths.push_back(length);
    if (!fakeMcl.serialAnswers)
        return 0;
    memcpy(destination, fakeMcl.backendSerial, length < 32 ? length : 32);
    return 1;
}
