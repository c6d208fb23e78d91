// Machine control's events: GUI-reported values go into the GUI state
// monitor, everything worth keeping goes into the machine-state log.
//
// Payload fields are little-endian; the event time is the 64-bit stamp in
// payload bytes 0-7. Entries of GUI-reported values carry the machine's
// system time instead, fetched while the event is handled.
#include "monitor/machine_events.h"

#include "frame/log.h"
#include "monitor/gui_state.h"
#include "monitor/sec_mot_data.h"
#include "monitor/state_log.h"
#include "monitor/tables.h"
#include "requests/remote_if.h"
#include "requests/request_codes.h"

namespace {

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
int16_t les16(const uint8_t *p) { return int16_t(le16(p)); }

uint64_t le64(const uint8_t *p)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

unsigned long long sysTime() { return static_cast<unsigned long long>(RemoteIF_getSysTime()); }

// The lid, bowl and transport events and what each says about the bowl.
struct LockEventRow {
    uint8_t code;
    const char *format;
    int32_t bowlState;   // BOWL_STATE_UNKNOWN: leaves BowlLockState alone
};

const LockEventRow kLockEvents[] = {
    {RE_BOWL_OPEN, "%llu:LL:BOWL,OPEN;", BOWL_STATE_OPEN},
    {RE_BOWL_CLOSE, "%llu:LL:BOWL,CLOSE;", BOWL_STATE_CLOSED},
    {RE_TRANSPORT_ON, "%llu:LL:TRANSP,ON;", BOWL_STATE_CLOSED},
    {RE_TRANSPORT_OFF, "%llu:LL:TRANSP,OFF;", BOWL_STATE_OPEN},
    {RE_LEFT_CLOSE, "%llu:LL:LEFT,CLOSE;", BOWL_STATE_UNKNOWN},
    {RE_RIGHT_CLOSE, "%llu:LL:RIGHT,CLOSE;", BOWL_STATE_UNKNOWN},
    {RE_LID_CLOSE, "%llu:LL:LID,CLOSE;", BOWL_STATE_UNKNOWN},
    {RE_LEFT_OPEN, "%llu:LL:LEFT,OPEN;", BOWL_STATE_UNKNOWN},
    {RE_RIGHT_OPEN, "%llu:LL:RIGHT,OPEN;", BOWL_STATE_UNKNOWN},
    {RE_LID_OPEN, "%llu:LL:LID,OPEN;", BOWL_STATE_UNKNOWN},
};

} // namespace

void GUI_IF_onCurrentTemperatureChanged(uint32_t temperature)
{
    MIF_STATE_ENTRY("%llu:DT:%u;", sysTime(), temperature);
}

void GUI_IF_onSpeedChangedByApplication(int32_t speed)
{
    // Waiters are woken whether or not the speed changed; the log only
    // records a change, and only after the monitor's lock is let go.
    if (guiStateSetSpeed(speed))
        MIF_STATE_ENTRY("%llu:GS:%i;", sysTime(), speed);
}

void GUI_IF_onRotationDirectionChanged(int32_t direction)
{
    guiStateSetRotationDirection(direction);
}

void GUI_IF_onMotorModeChanged(int32_t mode)
{
    guiStateSetMotorMode(mode);
}

void GUI_IF_onErrorAndWarnings(int32_t error)
{
    // The newest error wins: a waiting motor command reports that one.
    int32_t pending = guiStateSetError(error);
    if (pending != 0)
        MIF_LOG(4, "WARNING: Previous error %i overwritten by %i!\n", pending, error);
}

void GUI_IF_onTimeChangedByApplication(uint32_t minutes, uint32_t seconds)
{
    MIF_STATE_ENTRY("%llu:TI:%u;", sysTime(), minutes * 60 + seconds);
}

void GUI_IF_onSpeedStatusChanged(int32_t status)
{
    guiStateSetSpeedStatus(status);
}

void RemoteIF_onEvent(uint64_t eventTime, uint8_t code, uint16_t value)
{
    const unsigned long long stamp = eventTime;
    for (const LockEventRow &row : kLockEvents) {
        if (row.code != code)
            continue;
        // The state is set before the entry, so a command polling it never
        // sees the entry without the state.
        if (row.bowlState != BOWL_STATE_UNKNOWN)
            BowlLockState = row.bowlState;
        MIF_STATE_ENTRY(row.format, stamp);
        return;
    }
    MIF_STATE_ENTRY("%llu:EV:%i,%i;", stamp, int(code), int(value));
}

void RemoteIF_onErrorEvent(const uint8_t *payload)
{
    MIF_STATE_ENTRY("%llu:ER:%i,%i,%i,%i,%i,%i,%i,%i,%i,%i;", static_cast<unsigned long long>(le64(payload)),
                    int(payload[10]), int(payload[11]), int(les16(payload + 12)), int(les16(payload + 14)),
                    int(les16(payload + 16)), int(les16(payload + 18)), int(le16(payload + 20)),
                    int(le16(payload + 22)), int(le16(payload + 24)), int(le16(payload + 26)));
}

void RemoteIF_onNewPrimaryMotorData(const uint8_t *payload)
{
    const unsigned long long t = le64(payload);
    int ft = RemoteIF_getMotorValueFT();
    int ts = RemoteIF_getMotorValueTS();
    MIF_STATE_ENTRY("%llu:BT:%i;%llu:MT:%i;%llu:MS:%i;%llu:MC:%i;%llu:HT:%s;%llu:FT:%i;%llu:TS:%i;", t,
                    int(les16(payload + 10)), t, int(les16(payload + 12)), t, int(les16(payload + 14)), t,
                    int(le16(payload + 16)), t, payload[18] ? "ON" : "OFF", t, ft, t, ts);
}

void RemoteIF_onNewSecondaryMotorData(const uint8_t *payload)
{
    const unsigned long long t = le64(payload);
    MIF_STATE_ENTRY("%llu:MC:%i;%llu:TC:%i;%llu:MS:%i;%llu:MA:%i;", t, int(le16(payload + 10)), t,
                    int(le16(payload + 12)), t, int(les16(payload + 14)), t, int(les16(payload + 16)));
    // Only after the entry: the poll holds this lock across its request.
    secMotDataArrived();
}

void RemoteIF_onNewTestModeCmdData(uint8_t code, uint16_t data)
{
    char invalid[MACHINE_NAME_SIZE];
    const char *name = mctestCommandName(code, invalid, sizeof invalid);
    MIF_STATE_ENTRY("%llu:TR:%s,0x%02X,0x%04X;", sysTime(), name, unsigned(code), unsigned(data));
}

void RemoteIF_onHeatingControl(uint64_t eventTime, uint16_t value, uint8_t state)
{
    MIF_STATE_ENTRY("%llu:HC:%u,%s;", static_cast<unsigned long long>(eventTime), unsigned(value),
                    state ? "ON" : "OFF");
}
