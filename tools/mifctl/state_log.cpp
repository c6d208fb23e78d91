// Decoding the machine-state log.
#include "state_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

enum FieldKind { FIELD_UNSIGNED, FIELD_SIGNED, FIELD_HEX, FIELD_WORD };

struct FieldSpec {
    const char *name;
    FieldKind kind;
    const char *unit = "";
};

typedef std::string (*Summarizer)(const StateRecord &record);

struct CodeRow {
    const char *code;
    const char *label;
    int fieldCount;
    FieldSpec fields[10];
    Summarizer summarize;     // null: the field texts joined by blanks
};

static const std::string &field(const StateRecord &r, size_t i) { return r.fields[i].text; }

static std::string lower(std::string text)
{
    for (char &c : text)
        c = char(tolower(static_cast<unsigned char>(c)));
    return text;
}

static std::string touchSummary(const StateRecord &r)
{
    // The touch screen reports 65535 until it has seen a first position.
    if (r.fields[0].number == 0xFFFF && r.fields[1].number == 0xFFFF)
        return "no position yet";
    return "at " + field(r, 0) + "," + field(r, 1);
}

static std::string pushSummary(const StateRecord &r)
{
    if (field(r, 0) == "PUSH")
        return "short push";
    if (field(r, 0) == "LONG_PUSH")
        return "long push";
    return field(r, 0);
}

static std::string turnSummary(const StateRecord &r)
{
    const int64_t steps = r.fields[0].number;
    return (steps > 0 ? "+" : "") + field(r, 0) + (steps == 1 || steps == -1 ? " step" : " steps");
}

// A count of tenths as a decimal: 55 is "5.5", -1 is "-0.1".
static std::string tenthsText(int64_t tenths)
{
    char text[32];
    snprintf(text, sizeof text, "%s%lld.%lld", tenths < 0 ? "-" : "", (long long)(llabs(tenths) / 10),
             (long long)(llabs(tenths) % 10));
    return text;
}

static std::string speedSummary(const StateRecord &r)
{
    // The GUI counts speeds in tenths; 3 is its "soft" setting.
    const int64_t tenths = r.fields[0].number;
    return tenths == 3 ? "soft" : tenthsText(tenths);
}

static std::string timerSummary(const StateRecord &r)
{
    const int64_t seconds = r.fields[0].number;
    char text[64];
    snprintf(text, sizeof text, "%lld s (%lld:%02lld)", (long long)seconds, (long long)(seconds / 60),
             (long long)(seconds % 60));
    return text;
}

static std::string lidSummary(const StateRecord &r)
{
    static const struct {
        const char *part, *text;
    } kParts[] = {{"BOWL", "bowl"}, {"TRANSP", "transport lock"}, {"LEFT", "left lid lock"},
                  {"RIGHT", "right lid lock"}, {"LID", "lid"}};
    static const struct {
        const char *state, *text;
    } kStates[] = {{"OPEN", "open"}, {"CLOSE", "closed"}, {"ON", "on"}, {"OFF", "off"}};
    std::string part = lower(field(r, 0)), state = lower(field(r, 1));
    for (const auto &p : kParts)
        if (field(r, 0) == p.part)
            part = p.text;
    for (const auto &s : kStates)
        if (field(r, 1) == s.state)
            state = s.text;
    return part + " " + state;
}

static std::string eventSummary(const StateRecord &r) { return "event " + field(r, 0) + ", value " + field(r, 1); }

static std::string errorSummary(const StateRecord &r)
{
    std::string text;
    for (size_t i = 0; i < r.fields.size(); i++)
        text += (i ? "," : "") + field(r, i);
    return text;
}

static std::string testSummary(const StateRecord &r)
{
    return field(r, 0) + " (" + field(r, 1) + "), data " + field(r, 2);
}

static std::string heatingSummary(const StateRecord &r) { return field(r, 1) + ", value " + field(r, 0); }

// A value and its unit: "120 mA", "25 °C".
static std::string unitSummary(const StateRecord &r)
{
    const std::string &unit = r.fields[0].unit;
    return field(r, 0) + (unit.empty() ? "" : (unit == "°" ? "" : " ") + unit);
}

static std::string heaterSummary(const StateRecord &r)
{
    return field(r, 0) == "ON" ? "on" : field(r, 0) == "OFF" ? "off" : field(r, 0);
}

// FT carries the motor temperature in tenths of a degree.
static std::string tenthsSummary(const StateRecord &r) { return tenthsText(r.fields[0].number) + " °C"; }

// TS counts the motor's running time in seconds.
static std::string durationSummary(const StateRecord &r)
{
    const int64_t seconds = r.fields[0].number;
    char text[64];
    snprintf(text, sizeof text, "%lld s (%lld:%02lld:%02lld)", (long long)seconds, (long long)(seconds / 3600),
             (long long)(llabs(seconds) / 60 % 60), (long long)(llabs(seconds) % 60));
    return text;
}

// One value of the motor data, with its meaning and unit.
#define MOTOR(code, label, name, kind, unit, summary) {code, label, 1, {{name, kind, unit}}, summary}

static const CodeRow kCodes[] = {
    {"TE", "touch", 2, {{"x", FIELD_UNSIGNED}, {"y", FIELD_UNSIGNED}}, touchSummary},
    {"PE", "knob push", 1, {{"push", FIELD_WORD}}, pushSummary},
    {"RE", "knob turn", 1, {{"steps", FIELD_SIGNED}}, turnSummary},
    {"GS", "GUI speed", 1, {{"speed_tenths", FIELD_SIGNED}}, speedSummary},
    {"DT", "temperature", 1, {{"temperature", FIELD_UNSIGNED}}, nullptr},
    {"TI", "timer", 1, {{"seconds", FIELD_UNSIGNED, "s"}}, timerSummary},
    {"LL", "lid and bowl", 2, {{"part", FIELD_WORD}, {"state", FIELD_WORD}}, lidSummary},
    {"EV", "machine event", 2, {{"event", FIELD_SIGNED}, {"value", FIELD_SIGNED}}, eventSummary},
    // The error event's details, in the order machine control sends them.
    {"ER",
     "machine error",
     10,
     {{"error_code", FIELD_SIGNED},
      {"raised", FIELD_SIGNED},
      {"motor_temperature_c", FIELD_SIGNED, "°C"},
      {"bowl_temperature_c", FIELD_SIGNED, "°C"},
      {"motor_speed_rpm", FIELD_SIGNED, "rpm"},
      {"motor_current_ma", FIELD_SIGNED, "mA"},
      {"operating_hours", FIELD_SIGNED, "h"},
      {"error_count", FIELD_SIGNED},
      {"supply_voltage_v", FIELD_SIGNED, "V"},
      {"reserved", FIELD_SIGNED}},
     errorSummary},
    {"TR", "test command", 3, {{"name", FIELD_WORD}, {"command", FIELD_HEX}, {"data", FIELD_HEX}}, testSummary},
    {"HC", "heating control", 2, {{"value", FIELD_UNSIGNED}, {"state", FIELD_WORD}}, heatingSummary},
    // Motor data: the primary entry (BT MT MS MC HT FT TS) and the
    // secondary one (MC TC MS MA) share MC and MS.
    MOTOR("BT", "bowl temperature", "bowl_temperature_c", FIELD_SIGNED, "°C", unitSummary),
    MOTOR("MT", "motor temperature", "motor_temperature_c", FIELD_SIGNED, "°C", unitSummary),
    MOTOR("MS", "motor speed", "motor_speed_rpm", FIELD_SIGNED, "rpm", unitSummary),
    MOTOR("MC", "motor current", "motor_current_ma", FIELD_SIGNED, "mA", unitSummary),
    MOTOR("HT", "heater", "heater", FIELD_WORD, "", heaterSummary),
    MOTOR("FT", "motor temp. fine", "motor_temperature_tenths_c", FIELD_SIGNED, "0.1 °C", tenthsSummary),
    MOTOR("TS", "motor run time", "motor_running_s", FIELD_SIGNED, "s", durationSummary),
    MOTOR("TC", "motor torque", "torque_mnm", FIELD_SIGNED, "mNm", unitSummary),
    MOTOR("MA", "motor angle", "motor_angle_deg", FIELD_SIGNED, "°", unitSummary),
};

#undef MOTOR

static const CodeRow *findCode(const std::string &code)
{
    for (const CodeRow &row : kCodes)
        if (code == row.code)
            return &row;
    return nullptr;
}

// Reads one field as its kind demands; false when it is not of that kind.
static bool readField(const std::string &text, FieldKind kind, StateField *out)
{
    out->text = text;
    if (kind == FIELD_WORD)
        return !text.empty();
    if (text.empty())
        return false;
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    switch (kind) {
    case FIELD_UNSIGNED:
        if (!isdigit(static_cast<unsigned char>(*start)))
            return false;
        out->number = int64_t(strtoull(start, &end, 10));
        break;
    case FIELD_SIGNED: out->number = strtoll(start, &end, 10); break;
    default:
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
            return false;
        out->number = strtoll(start + 2, &end, 16);
        break;
    }
    out->isNumber = true;
    return errno == 0 && end && *end == 0 && end != start;
}

static std::vector<std::string> splitFields(const std::string &text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

static StateRecord decodeRecord(std::string raw)
{
    StateRecord record;
    record.raw = std::move(raw);
    const std::string &text = record.raw;
    size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos || text.find_first_not_of("0123456789") != colon ||
        text.size() < colon + 4 || text[colon + 3] != ':') {
        record.problem = "not a state record";
        return record;
    }
    errno = 0;
    record.timeMs = strtoull(text.c_str(), nullptr, 10);
    if (errno) {
        record.problem = "time out of range";
        return record;
    }
    record.code = text.substr(colon + 1, 2);
    const std::string fields = text.substr(colon + 4);
    const CodeRow *row = findCode(record.code);
    if (!row) {
        record.label = "unknown";
        record.summary = fields;
        record.problem = "unknown code " + record.code;
        return record;
    }
    record.label = row->label;
    std::vector<std::string> parts = splitFields(fields);
    if (int(parts.size()) != row->fieldCount) {
        record.summary = fields;
        record.problem = "expected " + std::to_string(row->fieldCount) + " fields";
        return record;
    }
    for (int i = 0; i < row->fieldCount; i++) {
        StateField value;
        value.name = row->fields[i].name;
        value.unit = row->fields[i].unit;
        if (!readField(parts[size_t(i)], row->fields[i].kind, &value)) {
            record.fields.clear();
            record.summary = fields;
            record.problem = "bad field \"" + parts[size_t(i)] + "\"";
            return record;
        }
        record.fields.push_back(value);
    }
    if (row->summarize) {
        record.summary = row->summarize(record);
    } else {
        for (size_t i = 0; i < record.fields.size(); i++)
            record.summary += (i ? " " : "") + record.fields[i].text;
    }
    return record;
}

static void sortByTime(std::vector<StateRecord> *records)
{
    // A record without a time sorts with the one before it, so that it
    // stays where it was found.
    std::vector<std::pair<uint64_t, size_t>> keys;
    uint64_t last = 0;
    for (size_t i = 0; i < records->size(); i++) {
        if (!(*records)[i].code.empty())
            last = (*records)[i].timeMs;
        keys.push_back({last, i});
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<StateRecord> sorted;
    sorted.reserve(records->size());
    for (const auto &key : keys)
        sorted.push_back(std::move((*records)[key.second]));
    *records = std::move(sorted);
}

std::vector<StateRecord> decodeStateLog(std::string_view payload)
{
    // The payload is a text; anything after its NUL is not part of it.
    payload = payload.substr(0, payload.find('\0'));
    std::vector<StateRecord> records;
    size_t start = 0;
    while (start < payload.size()) {
        size_t end = payload.find(';', start);
        if (end == std::string_view::npos) {
            std::string rest(payload.substr(start));
            if (rest.find_first_not_of(" \r\n\t") != std::string::npos) {
                StateRecord record = decodeRecord(rest);
                if (record.problem.empty())
                    record.problem = "record not closed by ';'";
                records.push_back(record);
            }
            break;
        }
        records.push_back(decodeRecord(std::string(payload.substr(start, end - start))));
        start = end + 1;
    }
    sortByTime(&records);
    return records;
}

std::string formatStateTime(uint64_t timeMs)
{
    static const uint64_t kYear2000Ms = 946684800000ULL;
    char text[64];
    const unsigned millis = unsigned(timeMs % 1000);
    if (timeMs >= kYear2000Ms) {
        time_t seconds = time_t(timeMs / 1000);
        struct tm local{};
        localtime_r(&seconds, &local);
        char date[48];
        strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
        snprintf(text, sizeof text, "%s.%03u", date, millis);
        return text;
    }
    uint64_t seconds = timeMs / 1000;
    const uint64_t days = seconds / 86400;
    seconds %= 86400;
    if (days)
        snprintf(text, sizeof text, "T+%llud %02llu:%02llu:%02llu.%03u", (unsigned long long)days,
                 (unsigned long long)(seconds / 3600), (unsigned long long)(seconds / 60 % 60),
                 (unsigned long long)(seconds % 60), millis);
    else
        snprintf(text, sizeof text, "T+%llu:%02llu:%02llu.%03u", (unsigned long long)(seconds / 3600),
                 (unsigned long long)(seconds / 60 % 60), (unsigned long long)(seconds % 60), millis);
    return text;
}

std::string stateRecordLine(const StateRecord &record)
{
    if (!record.problem.empty() && record.code.empty())
        return "?  " + record.raw + "  (" + record.problem + ")";
    char label[32];
    snprintf(label, sizeof label, "%-16s", record.label.c_str());
    std::string line = formatStateTime(record.timeMs) + "  " + record.code + "  " + label + record.summary;
    if (!record.problem.empty())
        line += "  (" + record.problem + ")";
    return line;
}

nlohmann::ordered_json stateRecordObject(const StateRecord &record)
{
    nlohmann::ordered_json object;
    const bool timed = !record.code.empty();
    object["time_ms"] = timed ? nlohmann::ordered_json(record.timeMs) : nlohmann::ordered_json(nullptr);
    object["time"] = timed ? nlohmann::ordered_json(formatStateTime(record.timeMs)) : nlohmann::ordered_json(nullptr);
    object["code"] = timed ? nlohmann::ordered_json(record.code) : nlohmann::ordered_json(nullptr);
    object["label"] = record.label;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object(), units = nlohmann::ordered_json::object();
    for (const StateField &f : record.fields) {
        fields[f.name] = f.isNumber ? nlohmann::ordered_json(f.number) : nlohmann::ordered_json(f.text);
        if (!f.unit.empty())
            units[f.name] = f.unit;
    }
    object["fields"] = fields;
    object["units"] = units;
    object["text"] = record.summary;
    object["raw"] = record.raw;
    if (!record.problem.empty())
        object["error"] = record.problem;
    return object;
}

std::string stateRecordJson(const StateRecord &record)
{
    // The payload is the daemon's text, not necessarily UTF-8: a stray byte
    // becomes U+FFFD instead of ending the program.
    return stateRecordObject(record).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string stateRecordsToJson(const std::vector<StateRecord> &records)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const StateRecord &record : records)
        list.push_back(stateRecordObject(record));
    return list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
