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
    {"MS", "motor_speed", CHART_MOTOR_SPEED, ""},
    {"MC", "motor_current", CHART_MOTOR_CURRENT, ""},
    {"HT", "heater", CHART_NONE, ""},
    {"HC", "heating_control", CHART_NONE, nullptr},
    {"ER", "error", CHART_NONE, nullptr},
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

static nlohmann::json panelEntry(const StateRecord &record, const char *unit = nullptr)
{
    nlohmann::json entry;
    entry["text"] = unit && !record.fields.empty() ? record.fields[0].text + unit : record.summary;
    entry["time"] = formatStateTime(record.timeMs);
    entry["code"] = record.code;
    if (record.fields.size() == 1 && record.fields[0].isNumber)
        entry["value"] = record.fields[0].number;
    return entry;
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
                    t.panel[part.key] = panelEntry(record);
            continue;
        }
        for (const PanelRow &row : kPanelRows) {
            if (record.code != row.code)
                continue;
            t.panel[row.key] = panelEntry(record, row.unit);
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
