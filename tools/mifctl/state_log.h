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

struct StateField {
    std::string name;
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
// one undecodable record so nothing the daemon sent is lost.
std::vector<StateRecord> decodeStateLog(std::string_view payload);

// Times from 2000 on are shown as local date and time, smaller ones as time
// since machine control started ("T+1:02:03.456").
std::string formatStateTime(uint64_t timeMs);

// One line: time, code and the decoded summary.
std::string stateRecordLine(const StateRecord &record);

// One JSON object (one line): time_ms, time, code, label and the fields.
std::string stateRecordJson(const StateRecord &record);
