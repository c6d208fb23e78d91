// The scale's calibration table: loading it at start-up, storing it, and the
// two commands that read and extend it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <vector>

#include "commands/service/scale.h"
#include "commands/service/service_commands.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "requests/remote_if.h"

namespace {

// Sorted by grams, one pair per gram value. Touched by the session thread and
// by start-up and shutdown only.
std::vector<CalibrationPoint> table;

// One calibration command at a time, even while a displaced session is still
// finishing its last request.
std::mutex commandLock;

enum : uint8_t { SEGMENT_END = 255 };
enum : int32_t { SEGMENT_END_FIRST = int32_t(0xDEADBEEF), SEGMENT_END_SECOND = int32_t(0xCAFEBABE) };
enum { SEGMENT_TRIES = 50, SEGMENT_RETRY_MS = 20 };

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
        MIF_LOG(3, "Invalid number format in value pair %s!\n", pair.c_str());
        return PAIR_MALFORMED;
    }
    return addCalibrationPoint(grams, adValue) ? PAIR_ADDED : PAIR_NO_MEMORY;
}

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

// Sends one segment, trying again while machine control does not take it.
bool sendSegment(uint8_t number, int32_t first, int32_t second)
{
    for (int attempt = 1; attempt <= SEGMENT_TRIES; attempt++) {
        if (RemoteIF_setBalanceCalibrationValues(number, first, second))
            return true;
        if (attempt < SEGMENT_TRIES)
            sleepMs(SEGMENT_RETRY_MS);
    }
    MIF_LOG(3, "Machine control did not take calibration segment %u\n", unsigned(number));
    return false;
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

void readCaldata()
{
    MIF_TRACE_ENTER();
    table.clear();
    std::string path = mifPath(SCALE_CALDATA_FILE);
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0) {
        MIF_LOG(3, "%s\n", strerror(errno));
        return;
    }
    std::string content;
    try {
        content.resize(size_t(status.st_size));
    } catch (const std::bad_alloc &) {
        MIF_LOG(3, "%s\n", strerror(ENOMEM));
        return;
    }
    errno = 0;
    if (fread(content.data(), 1, content.size(), file.get()) != content.size()) {
        MIF_LOG(3, "%s\n", strerror(errno ? errno : EIO));
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

Command *cmdHandler_MCHGetCalData(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    std::lock_guard<std::mutex> guard(commandLock);
    std::string text;
    Command *answer;
    if (table.empty())
        answer = createStringCommand(request->index, request->tag, "NAK: no caldata found");
    else if (!calibrationText(&text))
        answer = createStringCommand(request->index, request->tag, "NAK: Unsuccessful");
    else
        answer = createStringCommand(request->index, request->tag, "%s", text.c_str());
    MIF_TRACE_LEAVE();
    return answer;
}

// Sends the table to machine control as segments between neighbouring
// points, then the end marker. Nothing is sent unless every segment fits.
static bool sendCalibration()
{
    if (table.size() < 2)
        return false;
    // Segment numbers are one byte and 255 marks the end.
    if (table.size() - 1 >= SEGMENT_END) {
        MIF_LOG(3, "Too many calibration points: %u\n", unsigned(table.size()));
        return false;
    }
    std::vector<int32_t> slopes(table.size() - 1);
    for (size_t k = 0; k + 1 < table.size(); k++) {
        if (!calibrationSlope(table[k], table[k + 1], &slopes[k])) {
            MIF_LOG(3, "Slope between %u g and %u g out of range\n", table[k].grams, table[k + 1].grams);
            return false;
        }
    }
    for (size_t k = 0; k < slopes.size(); k++) {
        if (!sendSegment(uint8_t(k + 1), table[k].adValue, slopes[k]))
            return false;
    }
    return sendSegment(SEGMENT_END, SEGMENT_END_FIRST, SEGMENT_END_SECOND);
}

Command *cmdHandler_MCHSetCalData(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    std::lock_guard<std::mutex> guard(commandLock);
    int32_t index = request->index, tag = request->tag;
    const char *text = commandText(request);
    if (!text || !*text) {
        MIF_TRACE_LEAVE();
        return createStringCommand(index, tag, "NAK: No arguments, specify <grams (, ad_value)>");
    }
    if (strcmp(text, "CLEAR") == 0) {
        // Only the table in memory: the file and machine control keep theirs,
        // and the next start loads the file again.
        releaseCaldata();
        MIF_TRACE_LEAVE();
        return createAckCommand(index, tag);
    }

    std::string argument(text);
    size_t comma = argument.find(',');
    Command *error = nullptr;
    uint32_t grams = parseArgUINT32(request, argument.substr(0, comma).c_str(), &error);
    int32_t adValue = 0;
    if (!error && comma != std::string::npos)
        adValue = parseArgINT32(request, argument.substr(comma + 1).c_str(), &error);
    if (error) {
        MIF_TRACE_LEAVE();
        return error;
    }
    if (comma == std::string::npos && !scaleAdReading(&adValue)) {
        MIF_TRACE_LEAVE();
        return createStringCommand(index, tag, "NAK: Scale sent no data");
    }

    const char *answer = nullptr;
    if (!addCalibrationPoint(grams, adValue))
        answer = "NAK: Unable to add calibration data";
    else if (!storeCaldata())
        answer = "NAK: Failed to store calibration data";
    else if (!sendCalibration())
        answer = "NAK: Failed to calibrate scale";
    MIF_TRACE_LEAVE();
    return answer ? createStringCommand(index, tag, "%s", answer) : createAckCommand(index, tag);
}
