// The one table of figures: each row is a measured value beside the
// baseline measured in the same run, their ratio and the goal. A small
// helper builds each kind of row, so the goals read as data.
#pragma once

#include <string>
#include <vector>

#include "stats.h"

enum class Verdict { Met, Missed, Reported, NotMeasured };

// What a cell without a value shows. Assigned as a string rather than a
// literal: GCC 12 at -O3 takes the literal's copy into a string for an
// overlapping one (-Wrestrict), which it is not.
inline const std::string kNoValue = "-";

struct FigureRow {
    std::string figure;     // "2", "6 (last row)"
    std::string what;
    std::string value;      // as shown
    std::string baseline;   // as shown; "-" when the figure has none
    double ratio = 0;       // value against baseline in the goal's sense; 0 when none
    std::string goal;
    Verdict verdict = Verdict::NotMeasured;
    // The numbers behind the texts, for comparing runs.
    double valueNumber = 0;
    double baselineNumber = 0;
    std::string unit;
    std::string note;       // why a figure is missing or what it includes
};

using FigureRows = std::vector<FigureRow>;

// Latencies (ns): the medians' ratio must stay at or below maxRatio.
FigureRow latencyRow(const std::string &figure, const std::string &what, const Summary &value,
                     const Summary &baseline, const std::string &baselineName, double maxRatio);
// Throughputs (bytes/s): the ratio must stay at or above minRatio
// (0: reported only).
FigureRow throughputRow(const std::string &figure, const std::string &what, double value, double baseline,
                        const std::string &baselineName, double minRatio);
// A latency (ns) against a budget made of the baseline: at most
// factor × baseline + allowanceNs.
FigureRow budgetRow(const std::string &figure, const std::string &what, const Summary &value,
                    const Summary &baseline, const std::string &baselineName, double factor,
                    double allowanceNs, const std::string &goal);
// An absolute value with an upper limit (no baseline).
FigureRow limitRow(const std::string &figure, const std::string &what, double value, const std::string &unit,
                   double limit, const std::string &goal);
// A value against a baseline of the same unit, at most maxRatio times it
// (0: reported only).
FigureRow ratioRow(const std::string &figure, const std::string &what, double value, double baseline,
                   const std::string &unit, const std::string &baselineName, double maxRatio,
                   const std::string &goal);
// A figure that could not be measured in this run, and why.
FigureRow missingRow(const std::string &figure, const std::string &what, const std::string &why);

// Text for numbers.
std::string formatDuration(double ns);
std::string formatBytes(double bytes);
std::string formatRate(double bytesPerSecond);

void printTable(const FigureRows &rows);
// The same table as JSON; false when the file cannot be written.
bool writeTableJson(const FigureRows &rows, const std::string &path);
// As a Markdown table, for the README.
bool writeTableMarkdown(const FigureRows &rows, const std::string &path);
