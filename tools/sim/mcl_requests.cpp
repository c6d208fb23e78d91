#include "mcl_requests.h"

#include <cstring>

#include "monitor/tables.h"
#include "requests/request_codes.h"

namespace {

struct Request {
    MachineModel &m;
    const uint8_t *payload;
    int length;
    uint64_t now;
    McReply &reply;
    ModelOutput &out;

    template <typename T> T at(size_t offset) const { return getField<T>(payload, length, offset); }
    void flag(bool ok) { putField<uint8_t>(reply.payload, 0, ok ? 1 : 0); }
    void emit(SimEvent event, uint64_t delayMs = 0)
    {
        event.dueMs = now + delayMs;
        out.events.push_back(std::move(event));
    }
};

// ---- RemoteIF: the daemon's own requests ------------------------------------

void setRemoteIfActive(Request &r)
{
    r.m.remoteIfActive = r.at<uint8_t>(0) != 0;
    r.out.notes.push_back(r.m.remoteIfActive ? "remote interface active" : "remote interface inactive");
    r.flag(true);
}

void getRemoteIfActive(Request &r) { r.flag(r.m.remoteIfActive); }

void getPrimaryMotorData(Request &r)
{
    r.emit(eventPrimaryMotorData(r.now, modelPrimaryMotorData(r.m)));
    r.flag(true);
}

void requestSecondaryMotorData(Request &r)
{
    r.emit(eventSecondaryMotorData(r.now, modelSecondaryMotorData(r.m)));
    r.flag(true);
}

void activateBlackBoxLogging(Request &r)
{
    r.m.blackBoxLogging = r.at<uint8_t>(0) != 0;
    r.out.notes.push_back(r.m.blackBoxLogging ? "black-box logging on" : "black-box logging off");
    r.flag(true);
}

void getSysTime(Request &r) { putField<uint64_t>(r.reply.payload, 0, r.now); }

void getVersion(Request &r)
{
    r.reply.payload.assign(36, 0);
    r.flag(true);
    putField<uint32_t>(r.reply.payload, 4, MCL_SOFTWARE_VERSION);
    putField<uint32_t>(r.reply.payload, 8, MCL_SECOND_SOFTWARE_VERSION);
    putField<uint32_t>(r.reply.payload, 12, MCL_HARDWARE_VERSION);
}

// Serial and article number: the text from reply byte 12 on, as many bytes
// as asked for, NUL-padded.
void textFromByte12(Request &r, const char *text)
{
    uint16_t wanted = r.at<uint16_t>(0);
    r.reply.payload.assign(12 + size_t(wanted), 0);
    r.flag(true);
    putField<uint16_t>(r.reply.payload, 4, wanted);
    memcpy(r.reply.payload.data() + 12, text, std::min<size_t>(wanted, strlen(text)));
}

void getBackendSerial(Request &r) { textFromByte12(r, MCL_BACKEND_SERIAL); }
void getBackendArticle(Request &r) { textFromByte12(r, MCL_BACKEND_ARTICLE); }

// FT: the motor temperature in tenths of a degree; TS: the motor's
// operating time in seconds.
void getMotorValueFT(Request &r) { putField<int16_t>(r.reply.payload, 0, int16_t(r.m.motorTemperature * 10)); }
void getMotorValueTS(Request &r) { putField<int32_t>(r.reply.payload, 0, int32_t(r.m.motorSeconds)); }

void activateRemoteHeatingControl(Request &r)
{
    r.m.remoteHeatingControl = r.at<uint8_t>(0) != 0;
    int32_t target = r.m.targetTemperature > 0 ? r.m.targetTemperature : 100;
    r.emit(eventHeatingControl(r.now, uint16_t(target), r.m.remoteHeatingControl));
    r.out.notes.push_back(r.m.remoteHeatingControl ? "remote heating control on" : "remote heating control off");
    r.flag(true);
}

// The segments in use: their number and the AD value of the first point.
void getBalanceCalibration(Request &r)
{
    putField<int32_t>(r.reply.payload, 0, int32_t(r.m.calibration.size()));
    putField<int32_t>(r.reply.payload, 4, r.m.calibration.empty() ? 0 : r.m.calibration[0].lowerAd);
}

// Segments 1, 2, ... arrive in order; the end marker puts them in use.
void setBalanceCalibration(Request &r)
{
    uint8_t number = r.at<uint8_t>(0);
    int32_t second = r.at<int32_t>(4), third = r.at<int32_t>(8);
    if (number == 255 && uint32_t(second) == 0xDEADBEEF && uint32_t(third) == 0xCAFEBABE) {
        bool ok = !r.m.pendingCalibration.empty();
        if (ok) {
            r.m.calibration = r.m.pendingCalibration;
            r.out.notes.push_back("scale calibrated with " + std::to_string(r.m.calibration.size()) + " segment(s)");
            modelPublishScale(r.m, r.now, r.out);
        }
        r.m.pendingCalibration.clear();
        r.flag(ok);
        return;
    }
    if (number == 1)
        r.m.pendingCalibration.clear();
    bool inOrder = number == r.m.pendingCalibration.size() + 1 && third > 0;
    if (inOrder)
        r.m.pendingCalibration.push_back({second, third});
    r.flag(inOrder);
}

void getBalanceTara(Request &r) { putField<int32_t>(r.reply.payload, 0, r.m.tare); }

void setBalanceTara(Request &r)
{
    r.m.tare = r.at<int32_t>(0);
    r.out.notes.push_back("tare " + std::to_string(r.m.tare) + " g");
    modelPublishScale(r.m, r.now, r.out);
    r.flag(true);
}

void setHeating(Request &r)
{
    bool on = r.at<uint8_t>(0) != 0;
    bool ok = !on || r.m.powerRelayClosed;
    if (ok) {
        r.m.heatingOn = on;
        r.out.notes.push_back(on ? "heating on" : "heating off");
    }
    r.flag(ok);
}

void handleBowl(Request &r) { r.flag(modelLockBowl(r.m, r.at<uint8_t>(0) != 0, r.now, r.out)); }

void handlePowerRelay(Request &r)
{
    r.m.powerRelayClosed = r.at<uint8_t>(0) != 0;
    r.out.notes.push_back(r.m.powerRelayClosed ? "power relays closed" : "power relays open");
    r.flag(true);
}

// The raw speed form: byte 0 runs the motor (1 regular, 2 reverse) or
// stops it (0); bytes 2-3 the motor speed (at most 10,000); bytes 4-5 the
// ramp time in ms (the model ramps at its own rate); bytes 6-7 a run time in
// seconds, 0 for no limit.
void setSpeed(Request &r)
{
    uint8_t run = r.at<uint8_t>(0);
    uint16_t speed = r.at<uint16_t>(2), seconds = r.at<uint16_t>(6);
    if (run > 2 || speed > 10000) {
        r.flag(false);
        return;
    }
    r.m.motorTarget = run ? speed : 0;
    if (run)
        r.m.direction = run == 2 ? 1 : 0;
    r.m.runUntilMs = run && seconds ? r.now + uint64_t(seconds) * 1000 : 0;
    r.out.notes.push_back("raw speed " + std::to_string(r.m.motorTarget));
    r.flag(true);
}

void resetMC(Request &r)
{
    modelReset(r.m, r.now, r.out);
    r.flag(true);
}

void powerOff(Request &r)
{
    r.m.powerOffAtMs = r.now + r.at<uint16_t>(0);
    r.out.notes.push_back("power-down in " + std::to_string(r.at<uint16_t>(0)) + " ms");
    r.flag(true);
}

void resetPowerRelayLock(Request &r)
{
    r.out.flagFiles.push_back({PERMANENT_ERROR_72_FILE, false});
    r.out.notes.push_back("permanent error 72 reset");
    r.flag(true);
}

void resetCoverSwitchLock(Request &r)
{
    r.out.flagFiles.push_back({PERMANENT_ERROR_150_FILE, false});
    r.out.notes.push_back("permanent error 150 reset");
    r.flag(true);
}

// What a test-mode command reports; the commands not listed switch
// something the model does not keep and report 0.
struct TestResult {
    int32_t code;
    uint16_t (*result)(MachineModel &m);
};

uint16_t testModeOn(MachineModel &m) { return (m.testMode = true), 1; }
uint16_t testModeOff(MachineModel &m) { return (m.testMode = false), 0; }
uint16_t driverVolt(MachineModel &) { return 325; }
uint16_t tempSrm(MachineModel &m) { return uint16_t(m.motorTemperature * 10); }
uint16_t zkVolt(MachineModel &) { return 3250; }
uint16_t sensorPosition(MachineModel &m) { return uint16_t(modelSecondaryMotorData(m).motorAngle); }
uint16_t diStatus(MachineModel &m)
{
    return uint16_t((m.lidClosed ? 1 : 0) | (m.bowlLocked ? 2 : 0) | (m.powerRelayClosed ? 4 : 0));
}
uint16_t heaterOn(MachineModel &m) { return (m.testHeater = true), 1; }
uint16_t heaterOff(MachineModel &m) { return (m.testHeater = false), 0; }

const TestResult kTestResults[] = {
    {5, testModeOn}, {10, testModeOff},     {32, driverVolt}, {33, tempSrm},   {34, zkVolt},
    {35, sensorPosition}, {36, diStatus}, {133, heaterOn},  {138, heaterOff},
};

// Machine control knows the commands of the test-mode table.
void sendTestModeCommand(Request &r)
{
    int32_t code = r.at<int32_t>(0);
    bool known = false;
    for (const MctestRow &row : MctestTable)
        known |= row.code == code;
    if (!known) {
        r.out.notes.push_back("unknown test command " + std::to_string(code));
        r.flag(false);
        return;
    }
    uint16_t data = 0;
    for (const TestResult &t : kTestResults)
        if (t.code == code)
            data = t.result(r.m);
    char name[MACHINE_NAME_SIZE];
    r.out.notes.push_back(std::string("test command ") + mctestCommandName(code, name, sizeof name));
    r.emit(eventTestModeData(uint8_t(code), data));
    r.flag(true);
}

void setAmbilight(Request &r)
{
    uint8_t red = r.at<uint8_t>(0), green = r.at<uint8_t>(1);
    bool ok = red <= 100 && green <= 100;
    if (ok) {
        r.m.lightRed = red;
        r.m.lightGreen = green;
        r.out.notes.push_back("ambient light red " + std::to_string(red) + "%, green " + std::to_string(green) + "%");
    }
    r.flag(ok);
}

void setWarmStart(Request &r)
{
    r.m.warmStart = r.at<uint8_t>(0) != 0;
    r.out.notes.push_back(r.m.warmStart ? "warm start requested (no appliance serial)" : "warm start off");
    r.flag(true);
}

void setTransportTime(Request &r)
{
    r.m.transportTimeMs = r.at<uint16_t>(0);
    r.flag(true);
}

// ---- GUI request codes ------------------------------------------------------

void guiSetTime(Request &r)
{
    int32_t minutes = r.at<int32_t>(0), seconds = r.at<int32_t>(4);
    int64_t total = int64_t(minutes) * 60 + seconds;
    r.m.timerSeconds = total < 0 ? 0 : uint32_t(std::min<int64_t>(total, 99 * 60 + 59));
    r.emit(eventTimer(MCL_EV_TIME_CHANGED, r.m.timerSeconds / 60, r.m.timerSeconds % 60));
    r.out.notes.push_back("timer " + std::to_string(r.m.timerSeconds) + " s");
}

void guiSetTurboTime(Request &r) { r.m.turboTimeMs = r.at<int32_t>(0); }

void guiSetTemperature(Request &r)
{
    r.m.targetTemperature = r.at<int32_t>(0);
    r.out.notes.push_back("target temperature " + std::to_string(r.m.targetTemperature) + " C");
}

void guiSetSnapSpeed(Request &r) { modelSetGuiSpeed(r.m, r.at<int32_t>(0), r.now, r.out); }

void guiAccept(Request &) {}

void guiPopupAcknowledged(Request &r)
{
    int32_t error = r.at<int32_t>(0);
    if (r.m.activeError != 0 && (error == r.m.activeError || error == 0))
        modelRaiseError(r.m, 0, r.now, r.out);
}

void guiRotation(Request &r)
{
    int32_t direction = r.at<int32_t>(0) ? 1 : 0;
    r.m.direction = direction;
    r.emit(eventValue(MCL_EV_ROTATION_DIRECTION, direction));
    r.out.notes.push_back(direction ? "rotation reverse" : "rotation regular");
}

void guiMotorFunction(Request &r) { modelMotorFunction(r.m, r.at<int32_t>(0), r.now, r.out); }

// Rotary mode 2 lets the knob set the speed: machine control reports it
// ready with speed status 2, and back to 0 when the GUI leaves the mode.
void guiRotaryMode(Request &r)
{
    int32_t mode = r.at<int32_t>(0);
    r.m.rotaryMode = mode;
    int32_t status = mode == ROTARY_MODE_SET_SPEED ? 2 : 0;
    if (status != r.m.speedStatus || status == 2) {
        r.m.speedStatus = status;
        r.emit(eventValue(MCL_EV_SPEED_STATUS, status), 50);
    }
}

void guiEnableBalance(Request &r)
{
    r.m.balanceEnabled = true;
    modelPublishScale(r.m, r.now, r.out);
}

void guiDisableBalance(Request &r) { r.m.balanceEnabled = false; }

void guiResetBalance(Request &r)
{
    r.m.tare = modelGrossWeight(r.m);
    r.out.notes.push_back("scale reset (tare " + std::to_string(r.m.tare) + " g)");
    modelPublishScale(r.m, r.now, r.out);
}

void guiRemoteCommands(Request &r)
{
    uint16_t command = r.at<uint16_t>(0);
    if (command == KNOB_STEP_UP || command == KNOB_STEP_DOWN)
        modelKnobStep(r.m, command == KNOB_STEP_UP ? 1 : -1, r.now, r.out);
    else
        r.reply.status = 1;
}

// ---- The table --------------------------------------------------------------

struct RequestRow {
    uint32_t code;
    const char *name;
    int payloadLength;   // bytes the request must carry at least
    void (*handle)(Request &);
};

const RequestRow kRequestRows[] = {
    {GUI_SET_TIME, "GUI setTime", 8, guiSetTime},
    {GUI_SET_TURBO_TIME, "GUI setTurboTime", 4, guiSetTurboTime},
    {GUI_SET_TEMPERATURE, "GUI setTemperature", 4, guiSetTemperature},
    {GUI_SET_SNAP_SPEED, "GUI setSnapSpeed", 4, guiSetSnapSpeed},
    {GUI_REPORT_USER_ACTIVITY, "GUI reportUserActivity", 4, guiAccept},
    {GUI_REPORT_GUI_STATUS, "GUI reportGUIStatus", 4, guiAccept},
    {GUI_REQUEST_AUTOMATED_RECIPE, "GUI requestAutomatedRecipe", 12, guiAccept},
    {GUI_POPUP_ACKNOWLEDGED, "GUI popupAcknowledged", 4, guiPopupAcknowledged},
    {GUI_REQUEST_ROTATION, "GUI requestRotation", 4, guiRotation},
    {GUI_REQUEST_MOTOR_FUNCTION, "GUI requestMotorFunction", 4, guiMotorFunction},
    {GUI_REQUEST_ROTARY_MODE, "GUI requestRotaryMode", 4, guiRotaryMode},
    {GUI_ENABLE_BALANCE, "GUI enableBalance", 1, guiEnableBalance},
    {GUI_DISABLE_BALANCE, "GUI disableBalance", 1, guiDisableBalance},
    {GUI_RESET_BALANCE, "GUI resetBalance", 1, guiResetBalance},
    {GUI_SET_REMOTE_COMMANDS, "GUI setRemoteCommands", 2, guiRemoteCommands},
    {RIF_SET_REMOTE_IF_ACTIVE, "setRemoteIFActive", 1, setRemoteIfActive},
    {RIF_GET_REMOTE_IF_ACTIVE, "getRemoteIFActive", 0, getRemoteIfActive},
    {RIF_GET_PRIMARY_MOTOR_DATA, "getPrimaryMotorData", 0, getPrimaryMotorData},
    {RIF_REQUEST_SECONDARY_MOTOR_DATA, "requestSecondaryMotorData", 0, requestSecondaryMotorData},
    {RIF_ACTIVATE_BLACKBOX_LOGGING, "activateBlackBoxLogging", 1, activateBlackBoxLogging},
    {RIF_GET_SYS_TIME, "getSysTime", 0, getSysTime},
    {RIF_GET_VERSION, "getVersion", 0, getVersion},
    {RIF_GET_BACKEND_SERIAL, "getBackendSerialNumber", 2, getBackendSerial},
    {RIF_GET_BACKEND_ARTICLE, "getBackendArticleNumber", 2, getBackendArticle},
    {RIF_GET_MOTOR_VALUE_FT, "getMotorValueFT", 0, getMotorValueFT},
    {RIF_GET_MOTOR_VALUE_TS, "getMotorValueTS", 0, getMotorValueTS},
    {RIF_ACTIVATE_REMOTE_HEATING_CONTROL, "activateRemoteHeatingControl", 1, activateRemoteHeatingControl},
    {RIF_GET_BALANCE_CALIBRATION, "getBalanceCalibrationValues", 0, getBalanceCalibration},
    {RIF_SET_BALANCE_CALIBRATION, "setBalanceCalibrationValues", 12, setBalanceCalibration},
    {RIF_GET_BALANCE_TARA, "getBalanceTaraValue", 0, getBalanceTara},
    {RIF_SET_BALANCE_TARA, "setBalanceTaraValue", 4, setBalanceTara},
    {RIF_SET_HEATING, "setHeating", 1, setHeating},
    {RIF_HANDLE_BOWL, "handleBowl", 1, handleBowl},
    {RIF_HANDLE_POWER_RELAY, "handlePowerRelay", 1, handlePowerRelay},
    {RIF_SET_SPEED, "setSpeed", 8, setSpeed},
    {RIF_RESET_MC, "resetMC", 0, resetMC},
    {RIF_POWER_OFF, "powerOff", 2, powerOff},
    {RIF_RESET_POWER_RELAY_LOCK, "resetPowerRelayLock", 0, resetPowerRelayLock},
    {RIF_RESET_COVER_SWITCH_LOCK, "resetCoverSwitchLock", 0, resetCoverSwitchLock},
    {RIF_SEND_TEST_MODE_COMMAND, "sendTestModeCommand", 4, sendTestModeCommand},
    {RIF_SET_AMBILIGHT_PWM, "setAmbilightPWM", 2, setAmbilight},
    {RIF_SET_WARM_START, "SetWarmStart", 1, setWarmStart},
    {RIF_SET_TRANSPORT_TIME, "setTransportTime", 2, setTransportTime},
};

const RequestRow *findRow(uint32_t code)
{
    for (const RequestRow &row : kRequestRows)
        if (row.code == code)
            return &row;
    return nullptr;
}

}  // namespace

bool mclHandleRequest(MachineModel &model, uint32_t code, const uint8_t *payload, int length, uint64_t nowMs,
                      McReply &reply, ModelOutput &out)
{
    reply = McReply{};
    const RequestRow *row = findRow(code);
    if (!row || length < row->payloadLength) {
        reply.status = 1;
        return row != nullptr;
    }
    Request request{model, payload, length, nowMs, reply, out};
    row->handle(request);
    return true;
}

const char *mclRequestName(uint32_t code)
{
    const RequestRow *row = findRow(code);
    return row ? row->name : nullptr;
}
