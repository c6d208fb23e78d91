// Calibration text and identity values as numbers.
#include "provisioning.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// Whole decimal numbers of `text`, nothing before or after them.
static bool wholeUnsigned(const std::string &text, uint64_t *value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    *value = strtoull(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

static bool wholeSigned(const std::string &text, int64_t *value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    *value = strtoll(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

bool parseCaldataText(const std::string &text, std::vector<CalPoint> *points)
{
    points->clear();
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(';', start);
        if (end == std::string::npos)
            return false;
        const std::string pair = text.substr(start, end - start);
        const size_t comma = pair.find(',');
        uint64_t grams = 0;
        int64_t ad = 0;
        if (comma == std::string::npos || !wholeUnsigned(pair.substr(0, comma), &grams) ||
            !wholeSigned(pair.substr(comma + 1), &ad) || grams > UINT32_MAX || ad < INT32_MIN || ad > INT32_MAX)
            return false;
        points->push_back({uint32_t(grams), int32_t(ad)});
        start = end + 1;
    }
    return true;
}

std::string caldataArgument(const CalPoint &point)
{
    return std::to_string(point.grams) + "," + std::to_string(point.ad);
}

// FEAN shows OTP value B in fields: value / 10^13, "PA", the next eight
// digits, three blanks and the last five ("1234PA56789012   34567").
static bool feanNumber(const std::string &text, uint64_t *value)
{
    unsigned long long high = 0, middle = 0, low = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%lluPA%llu   %llu%n", &high, &middle, &low, &used) != 3 || size_t(used) != text.size())
        return false;
    *value = high * 10000000000000ULL + middle * 100000ULL + low;
    return true;
}

bool identityValue(const std::vector<SerialField> &fields, const std::string &target, uint64_t *value)
{
    const std::string key = target.empty() ? "QX" : target == "PEDEU" ? "FE" : target == "FEEAN" ? "FEAN" : "";
    for (const SerialField &field : fields) {
        if (key.empty() || field.key != key)
            continue;
        if (key == "FEAN")
            return feanNumber(field.value, value);
        return wholeUnsigned(field.value, value);
    }
    return false;
}
