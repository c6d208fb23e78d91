// The figures of scripts/bench. Each function measures one figure (some
// give more than one row) with its baseline in the same run, and bounds
// every loop in count and time.
#pragma once

#include <map>
#include <string>

#include "table.h"

// What the Google Benchmark program measured, by benchmark name.
struct MicroResult {
    Summary latency;             // p50_ns / p99_ns counters
    double itemsPerSecond = 0;
    Summary baseline;            // raw_p50_ns / raw_p99_ns: a baseline measured alongside
    bool oneCpu = false;         // one_cpu: both ran on one core
};
using MicroResults = std::map<std::string, MicroResult>;

FigureRows heatingRoundTripFigure(const MicroResults &micro);    // 1
FigureRows weightRoundTripFigure(const MicroResults &micro);     // 2
FigureRows transferFigures(const MicroResults &micro);           // 3, 4, 5
FigureRows authenticationFigure(const MicroResults &micro);      // 6
FigureRows idleCpuFigure(const MicroResults &micro);             // 7
FigureRows memoryFigure(const MicroResults &micro);              // 8
FigureRows stateLogFigure(const MicroResults &micro);            // 9
FigureRows startUpFigure(const MicroResults &micro);             // 10
FigureRows ipcRequestFigure(const MicroResults &micro);          // 11
FigureRows otherFileFigures(const MicroResults &micro);          // 12
FigureRows relayFigures(const MicroResults &micro);              // 13
FigureRows pythonFigures(const MicroResults &micro);             // 14
