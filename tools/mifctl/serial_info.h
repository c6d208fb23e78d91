// The identity answer of MCH_GET_SERIAL, field by field.
//
// The daemon answers one text of key:value pairs in a fixed order,
// "QX:...,FE:...,BE:...,SWFE:...,BEHW:0x...,SWMC:0x...,SWPC:0x...,RCPK:...,FEAN:...".
// Version texts may hold anything, commas included, so a value runs up to
// the next expected key rather than to the next comma.
#pragma once

#include <string>
#include <vector>

struct SerialField {
    std::string key;    // "QX"
    std::string label;  // "appliance serial"
    std::string value;  // as sent, trailing line ends removed
};

// False when the text does not have the expected keys in order.
bool parseSerialAnswer(const std::string &text, std::vector<SerialField> *fields);

// "label (KEY):  value" lines, aligned.
std::string serialFieldsText(const std::vector<SerialField> &fields);

// One JSON object keyed by the daemon's keys, every value a string (the
// serial numbers exceed what JSON numbers hold exactly).
std::string serialFieldsJson(const std::vector<SerialField> &fields);
