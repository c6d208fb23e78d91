// The daemon's machine-control events: which handler each id reaches and
// which payload fields it is given. Ids 17 and above 24 have no row and are
// ignored.
#include "requests/mcl_event_dispatch.h"

#include <cstring>

#include "commands/service/scale_events.h"
#include "monitor/machine_events.h"
#include "requests/request_codes.h"

namespace {

// Little-endian fields at a payload offset (host order, as the layer
// delivers them).
template <typename T> T field(const uint8_t *payload, size_t offset)
{
    T value;
    memcpy(&value, payload + offset, sizeof value);
    return value;
}

void temperature(const uint8_t *p) { GUI_IF_onCurrentTemperatureChanged(field<uint32_t>(p, 0)); }
void speed(const uint8_t *p) { GUI_IF_onSpeedChangedByApplication(field<int32_t>(p, 0)); }
void rotation(const uint8_t *p) { GUI_IF_onRotationDirectionChanged(field<int32_t>(p, 0)); }
void motorMode(const uint8_t *p) { GUI_IF_onMotorModeChanged(field<int32_t>(p, 0)); }
void weight(const uint8_t *p) { onScaleWeight(field<int32_t>(p, 0)); }
void error(const uint8_t *p) { GUI_IF_onErrorAndWarnings(field<int32_t>(p, 0)); }
void timeChanged(const uint8_t *p) { GUI_IF_onTimeChangedByApplication(field<uint32_t>(p, 0), field<uint32_t>(p, 4)); }
void speedStatus(const uint8_t *p) { GUI_IF_onSpeedStatusChanged(field<int32_t>(p, 0)); }
void remoteEvent(const uint8_t *p) { RemoteIF_onEvent(field<uint64_t>(p, 0), field<uint8_t>(p, 10), field<uint16_t>(p, 12)); }
void errorEvent(const uint8_t *p) { RemoteIF_onErrorEvent(p); }
void adValue(const uint8_t *p) { onScaleAdValue(field<int32_t>(p, 8)); }
void primaryMotor(const uint8_t *p) { RemoteIF_onNewPrimaryMotorData(p); }
void secondaryMotor(const uint8_t *p) { RemoteIF_onNewSecondaryMotorData(p); }
void testMode(const uint8_t *p) { RemoteIF_onNewTestModeCmdData(field<uint8_t>(p, 0), field<uint16_t>(p, 2)); }
void heating(const uint8_t *p) { RemoteIF_onHeatingControl(field<uint64_t>(p, 0), field<uint16_t>(p, 8), field<uint8_t>(p, 10)); }

} // namespace

const MclEventRow kMclEventTable[] = {
    {0, 4, nullptr},
    {1, 4, nullptr},
    {MCL_EV_CURRENT_TEMPERATURE, 4, temperature},
    {3, 4, nullptr},
    {4, 4, nullptr},
    {MCL_EV_SPEED_CHANGED, 4, speed},
    {MCL_EV_SPEED_CHANGED_2, 4, speed},
    {MCL_EV_ROTATION_DIRECTION, 4, rotation},
    {MCL_EV_MOTOR_MODE, 4, motorMode},
    {MCL_EV_MOTOR_MODE_2, 4, motorMode},
    {MCL_EV_SCALE_WEIGHT, 4, weight},
    {MCL_EV_ERROR_AND_WARNING, 8, error},
    {12, 1, nullptr},
    {MCL_EV_TIME_CHANGED, 8, timeChanged},
    {MCL_EV_TIME_CHANGED_2, 8, timeChanged},
    {MCL_EV_SPEED_STATUS, 4, speedStatus},
    {16, 4, nullptr},
    {MCL_EV_REMOTE_EVENT, 16, remoteEvent},
    {MCL_EV_ERROR_EVENT, 28, errorEvent},
    {MCL_EV_SCALE_AD_VALUE, 14, adValue},
    {MCL_EV_PRIMARY_MOTOR_DATA, 20, primaryMotor},
    {MCL_EV_SECONDARY_MOTOR_DATA, 18, secondaryMotor},
    {MCL_EV_TEST_MODE_DATA, 4, testMode},
    {MCL_EV_HEATING_CONTROL, 11, heating},
};
const size_t kMclEventTableSize = sizeof kMclEventTable / sizeof kMclEventTable[0];
