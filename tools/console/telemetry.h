// The machine as the console shows it: the live panel and the chart
// samples, built from the decoded state records (mifctl's decoder) and the
// scale's answers.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "state_log.h"

// One point of the charts, at the console's wall-clock time. A value the
// machine has not reported is left empty.
struct ChartSample {
    int64_t wallMs = 0;
    std::optional<double> motorSpeed, motorCurrent, bowlTemperature, motorTemperature, temperature, weight;
};

struct Telemetry {
    // Panel entries by key ("speed", "lid", "error", ...): {"text", "value", "time"}.
    nlohmann::json panel = nlohmann::json::object();
    ChartSample latest;
    int64_t lastMotorDataMs = -1;  // wall-clock time of the newest motor data record
    bool stateRead = false;        // the state log is being read (it needs level 5)
};

// Machine control reports motor data only while the motor turns, about once
// a second: when none came for this long, the motor is taken to stand still.
enum { MOTOR_QUIET_MS = 2500 };

// Takes one fetch of the state log into the panel and the latest values.
void applyStateRecords(Telemetry &telemetry, const std::vector<StateRecord> &records, int64_t wallMs);

// Takes an answer of MCH_GET_WEIGHT ("WEIGHT,AD" or a NAK); false when it
// is not a reading.
bool applyWeightAnswer(Telemetry &telemetry, const std::string &answer);

// The chart point for now: the newest values, the motor's set to 0 when it
// has gone quiet (or never spoke while the state log was read).
ChartSample takeSample(Telemetry &telemetry, int64_t wallMs);

nlohmann::json sampleJson(const ChartSample &sample);

// The records as the page's table takes them, newest last (the page turns
// them round): mifctl's JSON form of each record.
nlohmann::json recordsJson(const std::vector<StateRecord> &records);
