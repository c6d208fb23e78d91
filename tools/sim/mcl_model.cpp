#include "mcl_model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "monitor/tables.h"
#include "requests/request_codes.h"

namespace {

// The knob moves through the GUI speed table, fastest first.
const int kSpeedStepCount = GUI_SPEED_ROWS;

// The physical scale: AD counts for an empty scale and per gram. The
// factory calibration matches it, so an uncalibrated scale weighs right.
enum { SCALE_AD_ZERO = 1200, SCALE_AD_PER_GRAM = 80 };

// Heating curve: the heater drives the bowl towards HEATER_LIMIT, the room
// cools it towards AMBIENT; both with slow time constants.
const double AMBIENT = 22.0, HEATER_LIMIT = 160.0, HEAT_RATE = 0.02, COOL_RATE = 0.004;
const int32_t DEFAULT_HEATING_TARGET = 100;
// The motor runs up and down at this many speed units per second.
const double MOTOR_RAMP = 4000.0;

enum { MOTOR_DATA_PERIOD_MS = 1000, SCALE_PERIOD_MS = 1000, TRANSPORT_DELAY_MS = 300 };

int speedRow(int32_t key)
{
    for (int row = 0; row < kSpeedStepCount; row++)
        if (GuiSpeedTable[row].key == key)
            return row;
    return -1;
}

void note(ModelOutput &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void note(ModelOutput &out, const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out.notes.push_back(text);
}

void emit(ModelOutput &out, SimEvent event, uint64_t dueMs)
{
    event.dueMs = dueMs;
    out.events.push_back(std::move(event));
}

void blackBox(MachineModel &model, ModelOutput &out, uint32_t kind, const std::string &code,
              const std::string &message)
{
    if (model.blackBoxLogging || kind == 2)
        out.blackBox.push_back(BlackBoxEntry{kind, code, message});
}

// A lid, bowl or transport event: published, and kept in the black box.
void remoteEvent(MachineModel &model, ModelOutput &out, uint64_t dueMs, uint8_t code, const char *what)
{
    emit(out, eventRemote(dueMs, code, 0), dueMs);
    blackBox(model, out, 1, std::to_string(code), what);
}

bool parseNumber(const std::string &text, long *value)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || errno)
        return false;
    *value = v;
    return true;
}

bool heaterWanted(const MachineModel &m)
{
    if (!m.powerRelayClosed || !(m.heatingOn || m.testHeater))
        return false;
    int32_t target = m.targetTemperature > 0 ? m.targetTemperature : DEFAULT_HEATING_TARGET;
    // A degree of hysteresis, as a thermostat has.
    return m.heaterActive ? m.bowlTemperature < target : m.bowlTemperature < target - 1;
}

void updateHeater(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    bool wanted = heaterWanted(m);
    if (wanted == m.heaterActive)
        return;
    m.heaterActive = wanted;
    int32_t target = m.targetTemperature > 0 ? m.targetTemperature : DEFAULT_HEATING_TARGET;
    emit(out, eventHeatingControl(nowMs, uint16_t(target), wanted), nowMs);
    note(out, "heater %s at %.1f C (target %d C)", wanted ? "on" : "off", m.bowlTemperature, target);
}

void publishTimer(ModelOutput &out, uint32_t id, uint32_t seconds, uint64_t nowMs)
{
    emit(out, eventTimer(id, seconds / 60, seconds % 60), nowMs);
}

}  // namespace

void modelInit(MachineModel &model, uint64_t nowMs)
{
    model = MachineModel{};
    model.calibration = {{SCALE_AD_ZERO, SCALE_AD_PER_GRAM * 10000}};
    model.lastTickMs = nowMs;
}

bool modelGuiMotorSpeed(int32_t key, uint16_t *motorSpeed)
{
    int row = speedRow(key);
    if (row < 0)
        return false;
    *motorSpeed = GuiSpeedTable[row].value;
    return true;
}

int32_t modelAdValue(const MachineModel &m)
{
    return SCALE_AD_ZERO + m.loadGrams * SCALE_AD_PER_GRAM;
}

int32_t modelGrossWeight(const MachineModel &m)
{
    // The segments carry no grams of their own: the first point is taken as
    // 0 g and each later point lies where the segment below it ends. Below
    // the first point and above the last the end segments go on straight.
    int32_t ad = modelAdValue(m);
    const std::vector<CalibrationSegment> &cal = m.calibration;
    if (cal.empty())
        return (ad - SCALE_AD_ZERO) / SCALE_AD_PER_GRAM;
    double grams = 0;
    size_t segment = 0;
    for (size_t i = 1; i < cal.size() && ad >= cal[i].lowerAd; i++) {
        if (cal[i - 1].slope)
            grams += double(cal[i].lowerAd - cal[i - 1].lowerAd) * 10000.0 / cal[i - 1].slope;
        segment = i;
    }
    if (cal[segment].slope)
        grams += double(ad - cal[segment].lowerAd) * 10000.0 / cal[segment].slope;
    return int32_t(std::lround(grams));
}

int32_t modelWeight(const MachineModel &m)
{
    return modelGrossWeight(m) - m.tare;
}

void modelPublishScale(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    if (!m.balanceEnabled)
        return;
    emit(out, eventValue(MCL_EV_SCALE_WEIGHT, modelWeight(m)), nowMs);
    emit(out, eventScaleAd(nowMs, modelAdValue(m), true), nowMs);
    m.nextScaleMs = nowMs + SCALE_PERIOD_MS;
}

void modelSetGuiSpeed(MachineModel &m, int32_t key, uint64_t nowMs, ModelOutput &out)
{
    uint16_t motorSpeed = 0;
    if (!modelGuiMotorSpeed(key, &motorSpeed))
        return;
    m.motorTarget = motorSpeed;
    m.runUntilMs = 0;
    if (key == m.guiSpeed)
        return;
    m.guiSpeed = key;
    emit(out, eventValue(MCL_EV_SPEED_CHANGED, key), nowMs);
    note(out, "speed %d.%d (motor %u)", key / 10, key % 10, unsigned(motorSpeed));
}

void modelKnobStep(MachineModel &m, int direction, uint64_t nowMs, ModelOutput &out)
{
    int row = speedRow(m.guiSpeed);
    if (row < 0)
        row = kSpeedStepCount - 1;
    // Speeds 0.1 and 0.2 are not on the knob: from 0 the first step is
    // 0.3 ("SOFT"), and from there the next step down is 0 again.
    int soft = speedRow(3), stop = kSpeedStepCount - 1;
    if (direction > 0)
        row = row == stop ? soft : std::max(0, row - 1);
    else
        row = row >= soft ? stop : row + 1;
    modelSetGuiSpeed(m, GuiSpeedTable[row].key, nowMs, out);
}

void modelStopMotor(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    modelSetGuiSpeed(m, 0, nowMs, out);
    m.motorTarget = 0;
    m.runUntilMs = 0;
}

void modelClientGone(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    const bool moving = m.motorTarget != 0 || m.motorSpeed > 0 || m.guiSpeed != 0;
    const bool heating = m.heatingOn || m.testHeater;
    if (moving)
        modelStopMotor(m, nowMs, out);
    m.heatingOn = m.testHeater = false;
    updateHeater(m, nowMs, out);
    if (moving || heating)
        note(out, "the daemon is gone: motor stopped and heater off");
}

void modelMotorFunction(MachineModel &m, int32_t function, uint64_t nowMs, ModelOutput &out)
{
    uint64_t due = nowMs + TRANSPORT_DELAY_MS;
    if (function == MOTOR_TRANSPORT) {
        // The bowl is locked for transport: only with the lid on and the
        // motor standing; otherwise the bowl stays open and says so.
        if (!m.lidClosed || m.motorSpeed > 0 || m.motorTarget > 0) {
            remoteEvent(m, out, due, RE_BOWL_OPEN, "BOWL,OPEN");
            note(out, "transport lock refused: %s", m.lidClosed ? "motor running" : "lid open");
            return;
        }
        m.bowlLocked = true;
        m.transportLocked = true;
        remoteEvent(m, out, due, RE_BOWL_CLOSE, "BOWL,CLOSE");
        remoteEvent(m, out, due, RE_TRANSPORT_ON, "TRANSP,ON");
        note(out, "transport lock on");
        return;
    }
    if (function == MOTOR_NORMAL && m.transportLocked) {
        m.transportLocked = false;
        m.bowlLocked = false;
        remoteEvent(m, out, due, RE_TRANSPORT_OFF, "TRANSP,OFF");
        remoteEvent(m, out, due, RE_BOWL_OPEN, "BOWL,OPEN");
        note(out, "transport lock off");
    } else if (function == MOTOR_NORMAL) {
        // The machine confirms that the transport lock is off.
        emit(out, eventRemote(due, RE_TRANSPORT_OFF, 0), due);
    }
    if (function != MOTOR_NORMAL && function != MOTOR_TURBO && function != MOTOR_DOUGH && function != MOTOR_MACRO)
        return;
    if (function != m.motorMode) {
        m.motorMode = function;
        emit(out, eventValue(MCL_EV_MOTOR_MODE, function), nowMs);
        note(out, "motor mode %d", function);
    }
}

bool modelLockBowl(MachineModel &m, bool lock, uint64_t nowMs, ModelOutput &out)
{
    if (lock && !m.lidClosed) {
        note(out, "bowl lock refused: lid open");
        return false;
    }
    if (!lock && (m.motorSpeed > 0 || m.motorTarget > 0)) {
        note(out, "bowl stays locked: motor running");
        return false;
    }
    m.bowlLocked = lock;
    if (!lock)
        m.transportLocked = false;
    remoteEvent(m, out, nowMs, lock ? RE_BOWL_CLOSE : RE_BOWL_OPEN, lock ? "BOWL,CLOSE" : "BOWL,OPEN");
    note(out, "bowl %s", lock ? "locked" : "open");
    return true;
}

void modelRaiseError(MachineModel &m, int32_t code, uint64_t nowMs, ModelOutput &out)
{
    bool raised = code != 0;
    int32_t shown = raised ? code : m.activeError;
    m.activeError = code;
    if (raised)
        m.errorCount++;
    emit(out, eventError(code), nowMs);
    ErrorDetails d;
    d.code = uint8_t(shown);
    d.raised = raised ? 1 : 0;
    d.motorTemperature = int16_t(std::lround(m.motorTemperature));
    d.bowlTemperature = int16_t(std::lround(m.bowlTemperature));
    d.motorSpeed = int16_t(std::lround(m.motorSpeed));
    d.motorCurrent = modelPrimaryMotorData(m).motorCurrent;
    d.operatingHours = uint16_t(nowMs / 3600000);
    d.errorCount = m.errorCount;
    d.supplyVoltage = 230;
    emit(out, eventErrorDetails(nowMs, d), nowMs);
    if (raised) {
        out.blackBox.push_back(BlackBoxEntry{2, std::to_string(code), "machine error " + std::to_string(code)});
        note(out, "error %d raised", code);
        // The permanent errors are kept in flag files until they are reset.
        if (code == 72)
            out.flagFiles.push_back({PERMANENT_ERROR_72_FILE, true});
        if (code == 150)
            out.flagFiles.push_back({PERMANENT_ERROR_150_FILE, true});
        // Errors of the machine itself (not the user's warnings) stop the
        // motor and the heater.
        if (code >= 19) {
            modelStopMotor(m, nowMs, out);
            m.heatingOn = false;
            m.testHeater = false;
            updateHeater(m, nowMs, out);
        }
    } else {
        note(out, "error cleared");
    }
}

PrimaryMotorData modelPrimaryMotorData(const MachineModel &m)
{
    PrimaryMotorData d;
    d.bowlTemperature = int16_t(std::lround(m.bowlTemperature));
    d.motorTemperature = int16_t(std::lround(m.motorTemperature));
    d.motorSpeed = int16_t(std::lround(m.motorSpeed));
    d.motorCurrent = uint16_t(m.motorSpeed > 0 ? 350 + std::lround(m.motorSpeed * 0.4) : 0);
    d.heating = m.heaterActive ? 1 : 0;
    return d;
}

SecondaryMotorData modelSecondaryMotorData(const MachineModel &m)
{
    SecondaryMotorData d;
    d.motorCurrent = modelPrimaryMotorData(m).motorCurrent;
    d.torque = uint16_t(m.motorSpeed > 0 ? 120 + std::lround(m.motorSpeed * 0.05) : 0);
    d.motorSpeed = int16_t(std::lround(m.motorSpeed));
    d.motorAngle = int16_t(std::lround(std::fmod(m.motorSeconds * m.motorSpeed * 6.0, 360.0)));
    return d;
}

void modelReset(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    MachineModel fresh;
    modelInit(fresh, nowMs);
    fresh.loadGrams = m.loadGrams;
    fresh.tare = m.tare;
    fresh.calibration = m.calibration;
    fresh.balanceEnabled = m.balanceEnabled;
    fresh.lidClosed = m.lidClosed;
    fresh.bowlTemperature = m.bowlTemperature;
    fresh.reportedTemperature = m.reportedTemperature;
    fresh.motorTemperature = m.motorTemperature;
    fresh.motorSeconds = m.motorSeconds;
    fresh.remoteIfActive = m.remoteIfActive;
    fresh.errorCount = m.errorCount;
    if (m.guiSpeed != 0)
        emit(out, eventValue(MCL_EV_SPEED_CHANGED, 0), nowMs);
    if (m.speedStatus != 0)
        emit(out, eventValue(MCL_EV_SPEED_STATUS, 0), nowMs);
    if (m.heaterActive)
        emit(out, eventHeatingControl(nowMs, uint16_t(DEFAULT_HEATING_TARGET), false), nowMs);
    if (m.bowlLocked)
        emit(out, eventRemote(nowMs, RE_BOWL_OPEN, 0), nowMs);
    if (m.activeError)
        emit(out, eventError(0), nowMs);
    m = fresh;
    note(out, "machine control reset");
}

void modelTick(MachineModel &m, uint64_t nowMs, ModelOutput &out)
{
    if (nowMs <= m.lastTickMs)
        return;
    double dt = double(nowMs - m.lastTickMs) / 1000.0;
    m.lastTickMs = nowMs;

    if (m.powerOffAtMs && nowMs >= m.powerOffAtMs) {
        m.powerOffAtMs = 0;
        modelStopMotor(m, nowMs, out);
        m.heatingOn = m.testHeater = false;
        note(out, "appliance powered down");
    }
    if (m.runUntilMs && nowMs >= m.runUntilMs)
        modelStopMotor(m, nowMs, out);

    // Motor: runs up or down to its target; heats itself while running.
    double target = m.powerRelayClosed ? m.motorTarget : 0;
    double step = MOTOR_RAMP * dt;
    m.motorSpeed = m.motorSpeed < target ? std::min(target, m.motorSpeed + step) : std::max(target, m.motorSpeed - step);
    if (m.motorSpeed > 0)
        m.motorSeconds += dt;
    double motorGoal = 30 + m.motorSpeed / 250.0;
    m.motorTemperature += (motorGoal - m.motorTemperature) * std::min(1.0, dt / 60.0);

    // Heating curve.
    updateHeater(m, nowMs, out);
    if (m.heaterActive)
        m.bowlTemperature += (HEATER_LIMIT - m.bowlTemperature) * HEAT_RATE * dt;
    else
        m.bowlTemperature -= (m.bowlTemperature - AMBIENT) * COOL_RATE * dt;
    int32_t shown = int32_t(std::lround(m.bowlTemperature));
    if (shown != m.reportedTemperature) {
        m.reportedTemperature = shown;
        emit(out, eventValue(MCL_EV_CURRENT_TEMPERATURE, shown), nowMs);
    }
    updateHeater(m, nowMs, out);

    // The timer counts down while the motor runs and stops it at 0.
    if (m.timerSeconds > 0 && m.motorSpeed > 0) {
        if (m.nextTimerMs == 0)
            m.nextTimerMs = nowMs + 1000;
        if (nowMs >= m.nextTimerMs) {
            m.nextTimerMs += 1000;
            m.timerSeconds--;
            publishTimer(out, MCL_EV_TIME_CHANGED_2, m.timerSeconds, nowMs);
            if (m.timerSeconds == 0) {
                note(out, "timer ran out");
                modelStopMotor(m, nowMs, out);
            }
        }
    } else {
        m.nextTimerMs = 0;
    }

    if (m.motorSpeed > 0 && nowMs >= m.nextMotorDataMs) {
        emit(out, eventPrimaryMotorData(nowMs, modelPrimaryMotorData(m)), nowMs);
        m.nextMotorDataMs = nowMs + MOTOR_DATA_PERIOD_MS;
    }
    if (m.balanceEnabled && nowMs >= m.nextScaleMs)
        modelPublishScale(m, nowMs, out);
}

bool modelControl(MachineModel &m, const std::vector<std::string> &w, uint64_t nowMs, ModelOutput &out,
                  std::string *error)
{
    long value = 0;
    const std::string &cmd = w[0];
    if (cmd == "weight" && w.size() == 2 && parseNumber(w[1], &value)) {
        m.loadGrams = int32_t(value);
        note(out, "load on the scale: %ld g (AD %d)", value, modelAdValue(m));
        modelPublishScale(m, nowMs, out);
        return true;
    }
    if (cmd == "error" && w.size() == 2) {
        if (w[1] == "clear")
            value = 0;
        else if (!parseNumber(w[1], &value) || value < 0 || value > 255) {
            *error = "error takes a code from 1 to 255, or clear";
            return false;
        }
        modelRaiseError(m, int32_t(value), nowMs, out);
        return true;
    }
    if (cmd == "lid" && w.size() == 2 && (w[1] == "open" || w[1] == "close")) {
        bool close = w[1] == "close";
        if (!close && m.bowlLocked) {
            *error = "the lid is locked (unlock it first: lock-lid open)";
            return false;
        }
        if (close != m.lidClosed) {
            m.lidClosed = close;
            const uint8_t codes[2][3] = {{RE_LEFT_OPEN, RE_RIGHT_OPEN, RE_LID_OPEN},
                                         {RE_LEFT_CLOSE, RE_RIGHT_CLOSE, RE_LID_CLOSE}};
            const char *texts[2][3] = {{"LEFT,OPEN", "RIGHT,OPEN", "LID,OPEN"},
                                       {"LEFT,CLOSE", "RIGHT,CLOSE", "LID,CLOSE"}};
            for (int i = 0; i < 3; i++)
                remoteEvent(m, out, nowMs, codes[close][i], texts[close][i]);
        }
        note(out, "lid %s", close ? "closed" : "open");
        return true;
    }
    if (cmd == "bowl" && w.size() == 2 && (w[1] == "open" || w[1] == "close")) {
        if (!modelLockBowl(m, w[1] == "close", nowMs, out)) {
            *error = "the machine refused: " + (out.notes.empty() ? std::string() : out.notes.back());
            return false;
        }
        return true;
    }
    if (cmd == "knob") {
        // The GUI's part of a knob turn: each detent is one speed step.
        if (w.size() == 3 && w[1] == "turn" && parseNumber(w[2], &value)) {
            for (long i = 0; i < std::labs(value) && i < 24; i++)
                modelKnobStep(m, value > 0 ? 1 : -1, nowMs, out);
            return true;
        }
        if (w.size() == 2 && (w[1] == "push" || w[1] == "long"))
            return true;
        *error = "knob takes turn N, push or long";
        return false;
    }
    if (cmd == "temperature" && w.size() == 2 && parseNumber(w[1], &value)) {
        m.bowlTemperature = double(value);
        note(out, "bowl temperature set to %ld C", value);
        return true;
    }
    if (cmd == "status" && w.size() == 1) {
        out.notes.push_back(modelSummary(m));
        return true;
    }
    *error = "not understood";
    return false;
}

std::string modelSummary(const MachineModel &m)
{
    char text[512];
    snprintf(text, sizeof text,
             "speed %d.%d (motor %.0f of %u), mode %d, dir %d, timer %us, bowl %.1f C%s, heating %s, lid %s, "
             "bowl %s%s, load %d g (weight %d g, AD %d), error %d",
             m.guiSpeed / 10, m.guiSpeed % 10, m.motorSpeed, unsigned(m.motorTarget), m.motorMode, m.direction,
             m.timerSeconds, m.bowlTemperature, m.heaterActive ? " (heater on)" : "", m.heatingOn ? "on" : "off",
             m.lidClosed ? "closed" : "open", m.bowlLocked ? "locked" : "open",
             m.transportLocked ? ", transport lock" : "", m.loadGrams, modelWeight(m), modelAdValue(m),
             m.activeError);
    return text;
}
