// From state records to the panel and the charts.
#include "telemetry.h"

#include <cstdlib>
#include <cstring>

// Which record feeds which panel entry, and whether it feeds a chart.
enum ChartValue { CHART_NONE, CHART_MOTOR_SPEED, CHART_MOTOR_CURRENT, CHART_BOWL_T, CHART_MOTOR_T, CHART_TEMPERATURE };

struct PanelRow {
    const char *code;
    const char *key;
    ChartValue chart;
    const char *unit;  // null: the decoder's summary is the text
};

static const PanelRow kPanelRows[] = {
    {"GS", "speed", CHART_NONE, nullptr},
    {"TI", "timer", CHART_NONE, nullptr},
    {"DT", "temperature", CHART_TEMPERATURE, " \u00b0C"},
    {"BT", "bowl_temperature", CHART_BOWL_T, " \u00b0C"},
    {"MT", "motor_temperature", CHART_MOTOR_T, " \u00b0C"},
    {"MS", "motor_speed", CHART_MOTOR_SPEED, " rpm"},
    {"MC", "motor_current", CHART_MOTOR_CURRENT, " mA"},
    {"EV", "event", CHART_NONE, nullptr},
    {"TR", "test_result", CHART_NONE, nullptr},
    {"TE", "touch", CHART_NONE, nullptr},
};

// The lid-and-bowl records name their part in the first field.
static const struct {
    const char *part;
    const char *key;
} kLockParts[] = {{"LID", "lid"}, {"BOWL", "bowl"}, {"TRANSP", "transport"}, {"LEFT", "left_lock"},
                  {"RIGHT", "right_lock"}};

static void setChartValue(Telemetry &t, ChartValue chart, double value, int64_t wallMs)
{
    switch (chart) {
    case CHART_MOTOR_SPEED: t.latest.motorSpeed = value; t.lastMotorDataMs = wallMs; break;
    case CHART_MOTOR_CURRENT: t.latest.motorCurrent = value; t.lastMotorDataMs = wallMs; break;
    case CHART_BOWL_T: t.latest.bowlTemperature = value; break;
    case CHART_MOTOR_T: t.latest.motorTemperature = value; break;
    case CHART_TEMPERATURE: t.latest.temperature = value; break;
    case CHART_NONE: break;
    }
}

// An entry carries the machine's time stamp and, for the page, when the
// console took it in: the console's clock, the one the charts run on.
static nlohmann::json panelEntry(const StateRecord &record, int64_t wallMs, const char *unit = nullptr)
{
    nlohmann::json entry;
    entry["text"] = unit && !record.fields.empty() ? record.fields[0].text + unit : record.summary;
    entry["time"] = formatStateTime(record.timeMs);
    entry["seen_ms"] = wallMs;
    entry["code"] = record.code;
    if (record.fields.size() == 1 && record.fields[0].isNumber)
        entry["value"] = record.fields[0].number;
    return entry;
}

// Two records say whether the heater heats: machine control's heating
// control report (HC, when it switches) and the flag in the motor data
// (HT, only while the motor turns). The newer one is the heater's state,
// shown with where it came from.
static void applyHeaterRecord(Telemetry &t, const StateRecord &record, int64_t wallMs)
{
    const bool control = record.code == "HC";
    const std::string state = record.fields[control ? 1 : 0].text;
    if (state != "ON" && state != "OFF")
        return;
    if (t.panel.contains("heater") && t.panel["heater"].value("machine_ms", uint64_t(0)) > record.timeMs)
        return;
    nlohmann::json entry = panelEntry(record, wallMs);
    entry["text"] = state == "ON" ? "heating" : "not heating";
    entry["on"] = state == "ON";
    entry["machine_ms"] = record.timeMs;
    entry["source"] = control ? "heating control report" : "motor data";
    if (control && record.fields[0].isNumber)
        entry["target"] = record.fields[0].number;
    else if (t.panel.contains("heater") && t.panel["heater"].contains("target"))
        entry["target"] = t.panel["heater"]["target"];
    t.panel["heater"] = entry;
}

// A machine error record names its code and whether it was raised (1) or
// cleared (0).
static void applyErrorRecord(Telemetry &t, const StateRecord &record, int64_t wallMs)
{
    nlohmann::json entry = panelEntry(record, wallMs);
    const bool active = record.fields.size() < 2 || record.fields[1].text != "0";
    entry["active"] = active;
    entry["detail"] = record.summary;
    entry["text"] = "error " + record.fields[0].text + (active ? "" : " cleared");
    t.panel["error"] = entry;
}

void applyStateRecords(Telemetry &t, const std::vector<StateRecord> &records, int64_t wallMs)
{
    t.stateRead = true;
    for (const StateRecord &record : records) {
        if (!record.problem.empty())
            continue;
        if (record.code == "LL" && record.fields.size() == 2) {
            for (const auto &part : kLockParts)
                if (record.fields[0].text == part.part)
                    t.panel[part.key] = panelEntry(record, wallMs);
            continue;
        }
        if ((record.code == "HT" && record.fields.size() == 1) || (record.code == "HC" && record.fields.size() == 2)) {
            applyHeaterRecord(t, record, wallMs);
            continue;
        }
        if (record.code == "ER" && !record.fields.empty()) {
            applyErrorRecord(t, record, wallMs);
            continue;
        }
        for (const PanelRow &row : kPanelRows) {
            if (record.code != row.code)
                continue;
            t.panel[row.key] = panelEntry(record, wallMs, row.unit);
            if (row.chart != CHART_NONE && !record.fields.empty() && record.fields[0].isNumber)
                setChartValue(t, row.chart, double(record.fields[0].number), wallMs);
        }
    }
}

bool applyWeightAnswer(Telemetry &t, const std::string &answer)
{
    const char *text = answer.c_str();
    char *end = nullptr;
    const long weight = strtol(text, &end, 10);
    if (end == text || *end != ',')
        return false;
    const char *adText = end + 1;
    const long ad = strtol(adText, &end, 10);
    if (end == adText || *end)
        return false;
    t.latest.weight = double(weight);
    t.panel["weight"] = {{"text", std::to_string(weight) + " g"}, {"value", weight}, {"ad", ad}};
    return true;
}

ChartSample takeSample(Telemetry &t, int64_t wallMs)
{
    if (t.stateRead && (t.lastMotorDataMs < 0 || wallMs - t.lastMotorDataMs > MOTOR_QUIET_MS)) {
        t.latest.motorSpeed = 0;
        t.latest.motorCurrent = 0;
    }
    ChartSample sample = t.latest;
    sample.wallMs = wallMs;
    return sample;
}

static nlohmann::json optionalJson(const std::optional<double> &value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json sampleJson(const ChartSample &s)
{
    return {{"t", s.wallMs},
            {"motor_speed", optionalJson(s.motorSpeed)},
            {"motor_current", optionalJson(s.motorCurrent)},
            {"bowl_temperature", optionalJson(s.bowlTemperature)},
            {"motor_temperature", optionalJson(s.motorTemperature)},
            {"temperature", optionalJson(s.temperature)},
            {"weight", optionalJson(s.weight)}};
}

nlohmann::json recordsJson(const std::vector<StateRecord> &records)
{
    // The same shape as `mifctl state --json`, from the same function.
    return nlohmann::json::parse(stateRecordsToJson(records));
}
