// The scale: the latest readings machine control reported and the
// calibration table.
//
// Readings: the weight (event 10) and the raw AD value (event 20), each
// under its own lock; whoever needs both takes the weight's lock first.
// Both read SCALE_NO_READING until machine control reports one.
//
// Calibration table: pairs of a reference weight in grams and the AD value
// measured for it, sorted by grams, one pair per gram value. It is stored in
// /mnt/rwfs/data/system_config/scali.dat as "grams,ad;" pairs and handed to
// machine control as linear segments. Loaded once at start-up, changed only
// by MCH_SET_CALDATA, released at shutdown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/service/scale_events.h"

enum : int32_t { SCALE_NO_READING = INT32_MIN };

#define SCALE_CALDATA_FILE "/mnt/rwfs/data/system_config/scali.dat"

// Both readings under their locks (weight first). False when either has no
// reading yet.
bool scaleReadings(int32_t *weight, int32_t *adValue);
// The AD reading alone; false when there is none yet.
bool scaleAdReading(int32_t *adValue);
// Back to "no reading yet", the state of a fresh process (for tests).
void resetScaleReadings();

struct CalibrationPoint {
    uint32_t grams;
    int32_t adValue;
};

// Start-up: loads the table from the file. A missing or unreadable file
// leaves it empty; a malformed one keeps the pairs before the first bad one.
void readCaldata();
// Shutdown: frees the table.
void releaseCaldata();

// Inserts a pair in grams order, or replaces the AD value of the pair with
// the same grams. False when memory runs out, or when a new pair would make
// more segments than the transfer to machine control can number
// (CALIBRATION_MAX_POINTS): such a table could never be sent, and storing it
// would only let the file grow with every request.
bool addCalibrationPoint(uint32_t grams, int32_t adValue);
size_t calibrationPointCount();
// The i-th pair in grams order; false past the end.
bool calibrationPoint(size_t i, CalibrationPoint *point);
// The table's text form, "0,1200;1000,81200;" (the file content as well).
// False when it cannot be built.
bool calibrationText(std::string *text);

// Replaces the file with the table's text form, so that a power cut leaves
// the old or the new table, never a torn one. False (logged) on failure.
bool storeCaldata();

// The table and the file as they were before a point was added, so that a
// point machine control refuses can be taken back: what the daemon stores
// is then always a table machine control took (or the first point of one).
struct CalibrationSnapshot {
    std::vector<CalibrationPoint> points;
    bool fileStored = false;   // whether the file existed
    std::string fileText;      // its content then (after CLEAR it may differ from `points`)
};
// False (logged) when the file exists but cannot be read: nothing could
// then be taken back.
bool saveCalibration(CalibrationSnapshot *snapshot);
// Puts the table back and rewrites (or removes) the file. False (logged)
// when the file could not be restored; the table is restored in any case.
bool restoreCalibration(CalibrationSnapshot &snapshot);

// The slope of the segment between two neighbouring points: the AD change
// times 10000 per gram. False when it does not fit a signed 32-bit value.
bool calibrationSlope(const CalibrationPoint &lower, const CalibrationPoint &upper, int32_t *slope);

// One segment for machine control: its number (from 1), the AD value of its
// lower point and its slope. The number 255 marks the end of the list.
struct CalibrationSegment {
    uint8_t number;
    int32_t adValue;
    int32_t slope;
};
enum : uint8_t { CALIBRATION_END_MARKER = 255 };
// Segments are numbered 1 to 254 below the end marker: 255 points at most.
enum : size_t { CALIBRATION_MAX_POINTS = CALIBRATION_END_MARKER };

// The segments between neighbouring points, in grams order. False when the
// table has fewer than two points, more segments than numbers below the end
// marker, or a slope that does not fit.
bool calibrationSegments(std::vector<CalibrationSegment> *segments);
