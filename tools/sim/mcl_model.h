// The machine behind machine control: motor, heater, lid and bowl locks,
// transport lock, relays, light, scale and timer, with the GUI's view of
// them (speed, mode, direction, rotary mode).
//
// The model is plain state and free functions of it, driven by requests
// (mcl_requests.h), by control commands and by the passing of machine time
// (modelTick). It does no I/O: what should go out (events, console lines,
// black-box entries, flag files) is collected in a ModelOutput that the
// machine-control process then carries out. All times are machine time in
// milliseconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mcl_events.h"

struct CalibrationSegment {
    int32_t lowerAd = 0;   // AD value at the segment's lower point
    int32_t slope = 0;     // AD steps per 10,000 g
};

struct MachineModel {
    // What the GUI shows.
    int32_t guiSpeed = 0;            // tenths, a key of the GUI speed table
    int32_t speedStatus = 0;         // 2 while the knob sets the speed
    int32_t rotaryMode = 5;
    int32_t motorMode = 0;           // 0 NORMAL, 1 TURBO, 3 DOUGH, 5 MACRO
    int32_t direction = 0;           // 0 regular, 1 reverse
    uint32_t timerSeconds = 0;
    int32_t turboTimeMs = 0;
    int32_t targetTemperature = 0;   // degrees Celsius; 0 none set

    // Motor.
    uint16_t motorTarget = 0;        // the speed the motor runs up to
    double motorSpeed = 0;
    uint64_t runUntilMs = 0;         // raw speed form with a run time; 0 none
    double motorTemperature = 30;
    double motorSeconds = 0;         // operating time of the motor

    // Heating.
    bool heatingOn = false;          // switched on by request
    bool testHeater = false;         // switched on by a test command
    bool remoteHeatingControl = false;
    bool heaterActive = false;       // the heater relay, as the thermostat drives it
    double bowlTemperature = 22;
    int32_t reportedTemperature = 22;

    // Lid, bowl and transport locks, relays, light.
    bool lidClosed = true;
    bool bowlLocked = false;
    bool transportLocked = false;
    bool powerRelayClosed = true;
    uint8_t lightRed = 0;
    uint8_t lightGreen = 0;
    uint16_t transportTimeMs = 0;

    // Scale.
    bool balanceEnabled = false;
    int32_t loadGrams = 0;           // what lies on the scale
    int32_t tare = 0;                // grams
    std::vector<CalibrationSegment> calibration;          // in use
    std::vector<CalibrationSegment> pendingCalibration;   // being received

    // Machine control itself.
    bool remoteIfActive = false;
    bool warmStart = false;
    bool blackBoxLogging = true;
    bool testMode = false;
    int32_t activeError = 0;
    uint16_t errorCount = 0;
    uint64_t powerOffAtMs = 0;       // 0: no power-off pending

    // When the periodic events are next due.
    uint64_t lastTickMs = 0;
    uint64_t nextMotorDataMs = 0;
    uint64_t nextScaleMs = 0;
    uint64_t nextTimerMs = 0;
};

struct BlackBoxEntry {
    uint32_t kind = 1;               // 1 machine event, 2 machine error
    std::string code;
    std::string message;
};

struct FlagFileChange {
    std::string appliancePath;
    bool present = false;
};

struct ModelOutput {
    std::vector<SimEvent> events;
    std::vector<std::string> notes;              // for the console
    std::vector<BlackBoxEntry> blackBox;
    std::vector<FlagFileChange> flagFiles;
};

// The factory state at machine time `nowMs`.
void modelInit(MachineModel &model, uint64_t nowMs);

// Lets machine time pass up to `nowMs`: motor ramps, heating curve, timer,
// periodic motor data and scale readings.
void modelTick(MachineModel &model, uint64_t nowMs, ModelOutput &out);

// Control commands of people and tests (words of one line): weight, error,
// lid, bowl, knob, temperature, status. False with *error set when the
// command is not understood.
bool modelControl(MachineModel &model, const std::vector<std::string> &words, uint64_t nowMs, ModelOutput &out,
                  std::string *error);

// --- Used by the request handlers ------------------------------------------

// The scale's raw AD value for the load, and the net weight the calibration
// in use makes of it.
int32_t modelAdValue(const MachineModel &model);
int32_t modelGrossWeight(const MachineModel &model);
int32_t modelWeight(const MachineModel &model);

// The GUI speed goes to `key` (a key of the table): event 5 when it changed,
// and the motor follows.
void modelSetGuiSpeed(MachineModel &model, int32_t key, uint64_t nowMs, ModelOutput &out);
// One knob step up (+1) or down (-1), as the GUI takes it on its speed
// screen.
void modelKnobStep(MachineModel &model, int direction, uint64_t nowMs, ModelOutput &out);
// The motor speed a GUI speed key stands for; false when the key has no row.
bool modelGuiMotorSpeed(int32_t key, uint16_t *motorSpeed);

// Motor functions of the GUI, the transport mode (7) included.
void modelMotorFunction(MachineModel &model, int32_t function, uint64_t nowMs, ModelOutput &out);
// Locks (true) or opens the bowl; false when the machine refuses.
bool modelLockBowl(MachineModel &model, bool lock, uint64_t nowMs, ModelOutput &out);
// Stops the motor (speed 0 on the GUI too).
void modelStopMotor(MachineModel &model, uint64_t nowMs, ModelOutput &out);
// Raises (code != 0) or clears a machine error.
void modelRaiseError(MachineModel &model, int32_t code, uint64_t nowMs, ModelOutput &out);
// Scale readings now (events 10 and 20), when the balance is enabled.
void modelPublishScale(MachineModel &model, uint64_t nowMs, ModelOutput &out);
// Motor data of the moment.
PrimaryMotorData modelPrimaryMotorData(const MachineModel &model);
SecondaryMotorData modelSecondaryMotorData(const MachineModel &model);
// The daemon that drove the machine has gone (ended, killed, crashed):
// nobody is left who could stop what it started, so machine control stops
// the motor and switches the heater (the test heater too) off, as a
// careful machine control does when it loses its client.
void modelClientGone(MachineModel &model, uint64_t nowMs, ModelOutput &out);
// Back to the state after switch-on, the scale's load and calibration kept.
void modelReset(MachineModel &model, uint64_t nowMs, ModelOutput &out);

// A one-line summary for the console's "status".
std::string modelSummary(const MachineModel &model);

// The permanent-error flag files machine control keeps.
#define PERMANENT_ERROR_72_FILE "/mnt/rwfs/data/system_config/permanent_error.dat"
#define PERMANENT_ERROR_150_FILE "/mnt/rwfs/data/system_config/permanent_error_150.dat"
