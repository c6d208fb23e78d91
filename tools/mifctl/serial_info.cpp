// Splitting and labelling the identity answer.
#include "serial_info.h"

#include <nlohmann/json.hpp>

static const struct {
    const char *key;
    const char *label;
} kSerialKeys[] = {
    {"QX", "appliance serial"},
    {"FE", "OTP value A"},
    {"BE", "backend serial"},
    {"SWFE", "front-end software"},
    {"BEHW", "backend hardware"},
    {"SWMC", "machine-control software"},
    {"SWPC", "second software word"},
    {"RCPK", "data package"},
    {"FEAN", "OTP value B"},
};

static std::string trimLineEnds(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool parseSerialAnswer(const std::string &text, std::vector<SerialField> *fields)
{
    fields->clear();
    const size_t count = sizeof kSerialKeys / sizeof kSerialKeys[0];
    std::string first = std::string(kSerialKeys[0].key) + ":";
    if (text.compare(0, first.size(), first) != 0)
        return false;
    size_t start = first.size();
    for (size_t i = 0; i < count; i++) {
        size_t end = text.size();
        size_t next = 0;
        if (i + 1 < count) {
            const std::string marker = "," + std::string(kSerialKeys[i + 1].key) + ":";
            end = text.find(marker, start);
            if (end == std::string::npos)
                return false;
            next = end + marker.size();
        }
        fields->push_back({kSerialKeys[i].key, kSerialKeys[i].label, trimLineEnds(text.substr(start, end - start))});
        start = next;
    }
    return true;
}

std::string serialFieldsText(const std::vector<SerialField> &fields)
{
    size_t width = 0;
    for (const SerialField &f : fields)
        width = std::max(width, f.label.size() + f.key.size() + 3);
    std::string text;
    for (const SerialField &f : fields) {
        std::string head = f.label + " (" + f.key + "):";
        head.append(width + 2 - head.size(), ' ');
        std::string value = f.value;
        if (f.key == "QX" && value == "0")
            value += " (not set)";
        else if (value.empty())
            value = "(none)";
        text += head + value + "\n";
    }
    return text;
}

std::string serialFieldsJson(const std::vector<SerialField> &fields)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const SerialField &f : fields)
        object[f.key] = f.value;
    return object.dump();
}
