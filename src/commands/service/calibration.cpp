// The scale's calibration table: loading it at start-up, storing it, and
// the segments machine control is given.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "commands/service/scale.h"
#include "commands/service/stdio_file.h"
#include "frame/mif_utilfuncs.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace {

// Sorted by grams, one pair per gram value. Touched by the session thread and
// by start-up and shutdown only.
std::vector<CalibrationPoint> table;

// The file's numbers follow the conversion rules of client arguments.
template <typename Number>
bool fileNumber(Number (*parse)(const Command *, const char *, Command **), const char *text, Number *value)
{
    Command scratch{};
    Command *error = nullptr;
    *value = parse(&scratch, text, &error);
    bool good = error == nullptr;
    deleteCommand(&error);
    return good;
}

enum PairResult { PAIR_ADDED, PAIR_MALFORMED, PAIR_NO_MEMORY };

// One "grams,ad" pair of the file (without its ';').
PairResult readCaldataPair(const std::string &pair)
{
    size_t comma = pair.find(',');
    if (comma == std::string::npos) {
        MIF_LOG(3, "No field seperator found in value pair!\n");
        return PAIR_MALFORMED;
    }
    std::string gramsText = pair.substr(0, comma);
    std::string adText = pair.substr(comma + 1);
    uint32_t grams;
    int32_t adValue;
    if (!fileNumber(parseArgUINT32, gramsText.c_str(), &grams) ||
        !fileNumber(parseArgINT32, adText.c_str(), &adValue)) {
        std::string shown = pair;   // the client's text: kept to one log line
        blankControlBytes(shown.data());
        MIF_LOG(3, "Invalid number format in value pair %s!\n", shown.c_str());
        return PAIR_MALFORMED;
    }
    return addCalibrationPoint(grams, adValue) ? PAIR_ADDED : PAIR_NO_MEMORY;
}

} // namespace

bool addCalibrationPoint(uint32_t grams, int32_t adValue)
{
    auto at = table.begin();
    while (at != table.end() && at->grams < grams)
        ++at;
    if (at != table.end() && at->grams == grams) {
        at->adValue = adValue;
        return true;
    }
    if (table.size() >= CALIBRATION_MAX_POINTS) {
        MIF_LOG(3, "Too many calibration points: %u\n", unsigned(table.size() + 1));
        return false;
    }
    try {
        table.insert(at, CalibrationPoint{grams, adValue});
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

size_t calibrationPointCount() { return table.size(); }

bool calibrationPoint(size_t i, CalibrationPoint *point)
{
    if (i >= table.size())
        return false;
    *point = table[i];
    return true;
}

bool calibrationText(std::string *text)
{
    try {
        text->clear();
        char pair[32];
        for (const CalibrationPoint &point : table) {
            snprintf(pair, sizeof pair, "%u,%i;", point.grams, point.adValue);
            text->append(pair);
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// The file's whole content. 0, or the errno of what went wrong (ENOENT when
// no table was ever stored).
static int readCaldataFile(std::string *content)
{
    StdioFile file = openApplianceFile(SCALE_CALDATA_FILE, "rb");
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0)
        return errno;
    try {
        content->resize(size_t(status.st_size));
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
    errno = 0;
    if (fread(content->data(), 1, content->size(), file.get()) != content->size())
        return errno ? errno : EIO;
    return 0;
}

void readCaldata()
{
    MIF_TRACE_ENTER();
    table.clear();
    std::string content;
    if (int error = readCaldataFile(&content)) {
        MIF_LOG(3, "%s\n", strerror(error));
        return;
    }
    // Pairs end at ';'; whatever follows the last ';' is not a pair.
    size_t start = 0;
    for (size_t end = content.find(';'); end != std::string::npos; end = content.find(';', start)) {
        PairResult result = readCaldataPair(content.substr(start, end - start));
        if (result == PAIR_NO_MEMORY)
            break;
        if (result == PAIR_MALFORMED) {
            MIF_LOG(3, "No field seperator found in value pair!\n");
            break;
        }
        start = end + 1;
    }
    MIF_TRACE_LEAVE();
}

void releaseCaldata()
{
    table.clear();
    table.shrink_to_fit();
}

bool storeCaldata()
{
    std::string text;
    if (table.empty() || !calibrationText(&text)) {
        MIF_LOG(3, "%s\n", strerror(table.empty() ? ENODATA : ENOMEM));
        return false;
    }
    int result = writeFileAtomically(mifPath(SCALE_CALDATA_FILE).c_str(), text.data(), text.size());
    if (result != 0) {
        MIF_LOG(3, "%s\n", strerror(-result));
        return false;
    }
    return true;
}

bool saveCalibration(CalibrationSnapshot *snapshot)
{
    try {
        snapshot->points = table;
    } catch (const std::bad_alloc &) {
        return false;
    }
    int error = readCaldataFile(&snapshot->fileText);
    snapshot->fileStored = error == 0;
    if (error && error != ENOENT) {
        MIF_LOG(3, "%s\n", strerror(error));
        return false;
    }
    return true;
}

bool restoreCalibration(CalibrationSnapshot &snapshot)
{
    table.swap(snapshot.points);
    const std::string path = mifPath(SCALE_CALDATA_FILE);
    int result;
    if (snapshot.fileStored)
        result = writeFileAtomically(path.c_str(), snapshot.fileText.data(), snapshot.fileText.size());
    else
        result = unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -errno;
    if (result != 0) {
        MIF_LOG(3, "%s\n", strerror(-result));
        return false;
    }
    return true;
}

bool calibrationSlope(const CalibrationPoint &lower, const CalibrationPoint &upper, int32_t *slope)
{
    // 64-bit and signed: AD values may fall with the weight, and their
    // difference times 10000 overflows 32 bits beyond about 214,748.
    int64_t adChange = int64_t(upper.adValue) - int64_t(lower.adValue);
    int64_t gramsChange = int64_t(upper.grams) - int64_t(lower.grams);
    if (gramsChange == 0)
        return false;
    int64_t value = adChange * 10000 / gramsChange;
    if (value < INT32_MIN || value > INT32_MAX)
        return false;
    *slope = int32_t(value);
    return true;
}

bool calibrationSegments(std::vector<CalibrationSegment> *segments)
{
    segments->clear();
    if (table.size() < 2)
        return false;
    // Segment numbers are one byte, and the end marker takes the last one.
    if (table.size() - 1 >= CALIBRATION_END_MARKER) {
        MIF_LOG(3, "Too many calibration points: %u\n", unsigned(table.size()));
        return false;
    }
    for (size_t k = 0; k + 1 < table.size(); k++) {
        int32_t slope;
        if (!calibrationSlope(table[k], table[k + 1], &slope)) {
            MIF_LOG(3, "Slope between %u g and %u g out of range\n", table[k].grams, table[k + 1].grams);
            return false;
        }
        try {
            segments->push_back(CalibrationSegment{uint8_t(k + 1), table[k].adValue, slope});
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    return true;
}
