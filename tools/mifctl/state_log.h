// The machine-state log as a person reads it.
//
// The daemon answers MCH_GET_STATE with its records concatenated, each
// "TIME:CODE:FIELDS;" where TIME is milliseconds on machine control's clock
// and CODE two capital letters. This splits the text into records and
// decodes each code's fields by name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

struct StateField {
    std::string name;      // with its unit where it has one ("motor_current_ma")
    std::string unit;      // "mA", "°C", ...; empty for counts and words
    std::string text;      // as it came
    bool isNumber = false;
    int64_t number = 0;
};

struct StateRecord {
    std::string raw;       // the record without its ';'
    uint64_t timeMs = 0;
    std::string code;
    std::string label;     // what the code stands for ("touch", "knob turn", ...)
    std::vector<StateField> fields;
    std::string summary;   // the decoded fields as a phrase
    std::string problem;   // non-empty when the record could not be decoded
};

// Splits and decodes a whole payload; text after the last ';' is kept as
// one undecodable record so nothing the daemon sent is lost. The records
// come sorted by time: the daemon stamps input records with its own clock
// and machine records with the event's, so its order is arrival, not time.
// A record without a time stays behind the one before it.
std::vector<StateRecord> decodeStateLog(std::string_view payload);

// Times from 2000 on are shown as local date and time, smaller ones as time
// since machine control started ("T+1:02:03.456").
std::string formatStateTime(uint64_t timeMs);

// One line: time, code and the decoded summary.
std::string stateRecordLine(const StateRecord &record);

// The JSON form every client shares, one object per record:
//   {"time_ms": 1015, "time": "T+0:00:01.015", "code": "MC",
//    "label": "motor current", "fields": {"motor_current_ma": 120},
//    "units": {"motor_current_ma": "mA"}, "text": "120 mA", "raw": "1015:MC:120"}
// A record that could not be decoded has "error" and empty "fields";
// time_ms and code are null when not even they could be read.
nlohmann::ordered_json stateRecordObject(const StateRecord &record);
// That object as one line of text.
std::string stateRecordJson(const StateRecord &record);
// A batch of records as one JSON array (text).
std::string stateRecordsToJson(const std::vector<StateRecord> &records);
