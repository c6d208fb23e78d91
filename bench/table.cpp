#include "table.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unistd.h>

std::string formatDuration(double ns)
{
    char text[32];
    if (ns >= 1e9)
        snprintf(text, sizeof text, "%.2f s", ns / 1e9);
    else if (ns >= 1e6)
        snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    else if (ns >= 1e3)
        snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    else
        snprintf(text, sizeof text, "%.0f ns", ns);
    return text;
}

std::string formatBytes(double bytes)
{
    char text[32];
    if (bytes >= 1024.0 * 1024)
        snprintf(text, sizeof text, "%.2f MiB", bytes / (1024.0 * 1024));
    else if (bytes >= 1024)
        snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else
        snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
}

std::string formatRate(double bytesPerSecond)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024));
    return text;
}

static std::string formatRatio(double ratio)
{
    char text[32];
    snprintf(text, sizeof text, "%.2fx", ratio);
    return text;
}

static std::string latencyText(const Summary &s)
{
    return formatDuration(s.median) + " (p99 " + formatDuration(s.p99) + ")";
}

static Verdict judge(bool measured, bool met) { return !measured ? Verdict::NotMeasured : met ? Verdict::Met : Verdict::Missed; }

FigureRow latencyRow(const std::string &figure, const std::string &what, const Summary &value,
                     const Summary &baseline, const std::string &baselineName, double maxRatio)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    row.value = latencyText(value);
    row.baseline = baselineName + " " + latencyText(baseline);
    row.ratio = baseline.median > 0 ? value.median / baseline.median : 0;
    row.goal = "<= " + formatRatio(maxRatio) + " at the median";
    row.verdict = judge(value.count > 0 && baseline.count > 0, row.ratio <= maxRatio);
    row.valueNumber = value.median;
    row.baselineNumber = baseline.median;
    row.unit = "ns";
    return row;
}

FigureRow throughputRow(const std::string &figure, const std::string &what, double value, double baseline,
                        const std::string &baselineName, double minRatio)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    row.value = formatRate(value);
    row.baseline = baselineName + " " + formatRate(baseline);
    row.ratio = baseline > 0 ? value / baseline : 0;
    row.goal = minRatio > 0 ? ">= " + formatRatio(minRatio) + " its throughput" : "reported";
    row.verdict = minRatio > 0 ? judge(value > 0 && baseline > 0, row.ratio >= minRatio)
                               : (value > 0 ? Verdict::Reported : Verdict::NotMeasured);
    row.valueNumber = value;
    row.baselineNumber = baseline;
    row.unit = "B/s";
    return row;
}

FigureRow budgetRow(const std::string &figure, const std::string &what, const Summary &value,
                    const Summary &baseline, const std::string &baselineName, double factor,
                    double allowanceNs, const std::string &goal)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    row.value = latencyText(value);
    row.baseline = baselineName + " " + latencyText(baseline);
    row.ratio = baseline.median > 0 ? value.median / baseline.median : 0;
    row.goal = goal + " (" + formatDuration(factor * baseline.median + allowanceNs) + ")";
    row.verdict = judge(value.count > 0 && baseline.count > 0,
                        value.median <= factor * baseline.median + allowanceNs);
    row.valueNumber = value.median;
    row.baselineNumber = baseline.median;
    row.unit = "ns";
    return row;
}

FigureRow limitRow(const std::string &figure, const std::string &what, double value, const std::string &unit,
                   double limit, const std::string &goal)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    char text[48];
    if (unit == "B")
        row.value = formatBytes(value);
    else {
        snprintf(text, sizeof text, "%.2f %s", value, unit.c_str());
        row.value = text;
    }
    row.baseline = kNoValue;
    row.goal = goal;
    row.verdict = judge(value >= 0, value <= limit);
    row.valueNumber = value;
    row.unit = unit;
    return row;
}

FigureRow ratioRow(const std::string &figure, const std::string &what, double value, double baseline,
                   const std::string &unit, const std::string &baselineName, double maxRatio,
                   const std::string &goal)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    auto show = [&](double v) {
        if (unit == "B")
            return formatBytes(v);
        if (unit == "ns")
            return formatDuration(v);
        char text[48];
        snprintf(text, sizeof text, "%.0f %s", v, unit.c_str());
        return std::string(text);
    };
    row.value = show(value);
    row.baseline = baselineName + " " + show(baseline);
    row.ratio = baseline > 0 ? value / baseline : 0;
    row.goal = goal;
    row.verdict = maxRatio > 0 ? judge(baseline > 0, row.ratio <= maxRatio) : Verdict::Reported;
    row.valueNumber = value;
    row.baselineNumber = baseline;
    row.unit = unit;
    return row;
}

FigureRow missingRow(const std::string &figure, const std::string &what, const std::string &why)
{
    FigureRow row;
    row.figure = figure;
    row.what = what;
    row.value = "not measured";
    row.baseline = kNoValue;
    row.goal = kNoValue;
    row.verdict = Verdict::NotMeasured;
    row.note = why;
    return row;
}

static const char *verdictText(Verdict v)
{
    switch (v) {
    case Verdict::Met: return "met";
    case Verdict::Missed: return "MISSED";
    case Verdict::Reported: return "reported";
    default: return "not measured";
    }
}

void printTable(const FigureRows &rows)
{
    printf("\n%-4s %-52s %-32s %-44s %-7s %-30s %s\n", "#", "figure", "value", "baseline (same run)", "ratio",
           "goal", "");
    for (const FigureRow &r : rows) {
        std::string ratio = r.ratio > 0 ? formatRatio(r.ratio) : "-";
        printf("%-4s %-52s %-32s %-44s %-7s %-30s %s\n", r.figure.c_str(), r.what.c_str(), r.value.c_str(),
               r.baseline.c_str(), ratio.c_str(), r.goal.c_str(), verdictText(r.verdict));
    }
    for (const FigureRow &r : rows)
        if (!r.note.empty())
            printf("  %s: %s\n", r.figure.c_str(), r.note.c_str());
    fflush(stdout);
}

bool writeTableJson(const FigureRows &rows, const std::string &path)
{
    nlohmann::json out;
    time_t now = time(nullptr);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    out["time"] = stamp;
    out["cpus"] = sysconf(_SC_NPROCESSORS_ONLN);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        out["load_average"] = {load[0], load[1], load[2]};
    out["figures"] = nlohmann::json::array();
    for (const FigureRow &r : rows) {
        nlohmann::json row = {{"figure", r.figure},      {"what", r.what},
                              {"value", r.value},        {"baseline", r.baseline},
                              {"ratio", r.ratio},        {"goal", r.goal},
                              {"verdict", verdictText(r.verdict)},
                              {"value_number", r.valueNumber}, {"baseline_number", r.baselineNumber},
                              {"unit", r.unit}};
        if (!r.note.empty())
            row["note"] = r.note;
        out["figures"].push_back(row);
    }
    std::ofstream file(path);
    file << out.dump(2) << "\n";
    return bool(file);
}

bool writeTableMarkdown(const FigureRows &rows, const std::string &path)
{
    std::ofstream file(path);
    file << "| # | Figure | Value | Baseline (same run) | Ratio | Goal | |\n|---|---|---|---|---|---|---|\n";
    for (const FigureRow &r : rows)
        file << "| " << r.figure << " | " << r.what << " | " << r.value << " | " << r.baseline << " | "
             << (r.ratio > 0 ? formatRatio(r.ratio) : "-") << " | " << r.goal << " | " << verdictText(r.verdict)
             << " |\n";
    return bool(file);
}
