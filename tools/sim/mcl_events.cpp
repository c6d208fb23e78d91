#include "mcl_events.h"

#include <cstdio>

#include "requests/request_codes.h"

namespace {

SimEvent makeEvent(uint32_t id)
{
    SimEvent event;
    event.id = id;
    event.topic = id < 17 ? MCL_TOPIC_0 : MCL_TOPIC_1;
    return event;
}

SimEvent machineEvent(uint32_t id, uint64_t timeMs, size_t size)
{
    SimEvent event = makeEvent(id);
    event.payload.assign(size, 0);
    putField<uint64_t>(event.payload, 0, timeMs);
    return event;
}

}  // namespace

SimEvent eventValue(uint32_t id, int32_t value)
{
    SimEvent event = makeEvent(id);
    putField<int32_t>(event.payload, 0, value);
    return event;
}

SimEvent eventError(int32_t code)
{
    SimEvent event = makeEvent(MCL_EV_ERROR_AND_WARNING);
    putField<int32_t>(event.payload, 0, code);
    putField<int32_t>(event.payload, 4, 0);
    return event;
}

SimEvent eventTimer(uint32_t id, uint32_t minutes, uint32_t seconds)
{
    SimEvent event = makeEvent(id);
    putField<uint32_t>(event.payload, 0, minutes);
    putField<uint32_t>(event.payload, 4, seconds);
    return event;
}

SimEvent eventRemote(uint64_t timeMs, uint8_t code, uint16_t value)
{
    SimEvent event = machineEvent(MCL_EV_REMOTE_EVENT, timeMs, 16);
    putField<uint8_t>(event.payload, 10, code);
    putField<uint16_t>(event.payload, 12, value);
    return event;
}

SimEvent eventErrorDetails(uint64_t timeMs, const ErrorDetails &d)
{
    SimEvent event = machineEvent(MCL_EV_ERROR_EVENT, timeMs, 28);
    putField<uint8_t>(event.payload, 10, d.code);
    putField<uint8_t>(event.payload, 11, d.raised);
    putField<int16_t>(event.payload, 12, d.motorTemperature);
    putField<int16_t>(event.payload, 14, d.bowlTemperature);
    putField<int16_t>(event.payload, 16, d.motorSpeed);
    putField<int16_t>(event.payload, 18, d.motorCurrent);
    putField<uint16_t>(event.payload, 20, d.operatingHours);
    putField<uint16_t>(event.payload, 22, d.errorCount);
    putField<uint16_t>(event.payload, 24, d.supplyVoltage);
    putField<uint16_t>(event.payload, 26, d.reserved);
    return event;
}

SimEvent eventScaleAd(uint64_t timeMs, int32_t adValue, bool stable)
{
    SimEvent event = machineEvent(MCL_EV_SCALE_AD_VALUE, timeMs, 14);
    putField<int32_t>(event.payload, 8, adValue);
    putField<uint16_t>(event.payload, 12, stable ? 1 : 0);
    return event;
}

SimEvent eventPrimaryMotorData(uint64_t timeMs, const PrimaryMotorData &d)
{
    SimEvent event = machineEvent(MCL_EV_PRIMARY_MOTOR_DATA, timeMs, 20);
    putField<int16_t>(event.payload, 10, d.bowlTemperature);
    putField<int16_t>(event.payload, 12, d.motorTemperature);
    putField<int16_t>(event.payload, 14, d.motorSpeed);
    putField<uint16_t>(event.payload, 16, d.motorCurrent);
    putField<uint8_t>(event.payload, 18, d.heating);
    return event;
}

SimEvent eventSecondaryMotorData(uint64_t timeMs, const SecondaryMotorData &d)
{
    SimEvent event = machineEvent(MCL_EV_SECONDARY_MOTOR_DATA, timeMs, 18);
    putField<uint16_t>(event.payload, 10, d.motorCurrent);
    putField<uint16_t>(event.payload, 12, d.torque);
    putField<int16_t>(event.payload, 14, d.motorSpeed);
    putField<int16_t>(event.payload, 16, d.motorAngle);
    return event;
}

SimEvent eventTestModeData(uint8_t code, uint16_t data)
{
    SimEvent event = makeEvent(MCL_EV_TEST_MODE_DATA);
    event.payload.assign(4, 0);
    putField<uint8_t>(event.payload, 0, code);
    putField<uint16_t>(event.payload, 2, data);
    return event;
}

SimEvent eventHeatingControl(uint64_t timeMs, uint16_t value, bool on)
{
    SimEvent event = machineEvent(MCL_EV_HEATING_CONTROL, timeMs, 11);
    putField<uint16_t>(event.payload, 8, value);
    putField<uint8_t>(event.payload, 10, on ? 1 : 0);
    return event;
}

std::string describeEvent(const SimEvent &event)
{
    char text[96];
    const uint8_t *p = event.payload.data();
    int n = int(event.payload.size());
    if (event.id == MCL_EV_REMOTE_EVENT)
        snprintf(text, sizeof text, "event %u code %u value %u", event.id, getField<uint8_t>(p, n, 10),
                 getField<uint16_t>(p, n, 12));
    else if (n == 4 || n == 8)
        snprintf(text, sizeof text, "event %u value %d", event.id, getField<int32_t>(p, n, 0));
    else
        snprintf(text, sizeof text, "event %u (%d bytes)", event.id, n);
    return text;
}
