// The two commands that read and extend the calibration table, and the
// transfer of the table to machine control.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "commands/service/scale.h"
#include "commands/service/service_commands.h"
#include "platform/clock.h"
#include "requests/remote_if.h"

namespace {

// One calibration command at a time, even while a displaced session is still
// finishing its last request.
std::mutex commandLock;

enum : int32_t { SEGMENT_END_FIRST = int32_t(0xDEADBEEF), SEGMENT_END_SECOND = int32_t(0xCAFEBABE) };
enum { SEGMENT_TRIES = 50, SEGMENT_RETRY_MS = 20 };

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

Command *cmdHandler_MCHGetCalData(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    std::lock_guard<std::mutex> guard(commandLock);
    std::string text;
    Command *answer;
    if (calibrationPointCount() == 0)
        answer = createStringCommand(request->index, request->tag, "NAK: no caldata found");
    else if (!calibrationText(&text))
        answer = createStringCommand(request->index, request->tag, "NAK: Unsuccessful");
    else
        answer = createStringCommand(request->index, request->tag, "%s", text.c_str());
    MIF_TRACE_LEAVE();
    return answer;
}

// Sends the table to machine control as its segments, then the end marker.
// Nothing is sent unless every segment is valid.
static bool sendCalibration()
{
    std::vector<CalibrationSegment> segments;
    if (!calibrationSegments(&segments))
        return false;
    for (const CalibrationSegment &segment : segments) {
        if (!sendSegment(segment.number, segment.adValue, segment.slope))
            return false;
    }
    return sendSegment(CALIBRATION_END_MARKER, SEGMENT_END_FIRST, SEGMENT_END_SECOND);
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

    // A point is kept only when machine control took the table it makes,
    // or when it is the first point of a table (one point is no segment:
    // it is stored and waits for the second, the answer saying the scale
    // is not calibrated yet). Any other refusal takes the point back from
    // the table and the file, so that a NAK always means "nothing changed"
    // and one bad point cannot make every later one fail.
    CalibrationSnapshot before;
    const char *answer = nullptr;
    bool takeBack = true;
    if (!saveCalibration(&before) || !addCalibrationPoint(grams, adValue)) {
        answer = "NAK: Unable to add calibration data";
        takeBack = false;
    } else if (!storeCaldata()) {
        answer = "NAK: Failed to store calibration data";
    } else if (calibrationPointCount() < 2) {
        answer = "NAK: Failed to calibrate scale";
        takeBack = false;
    } else if (!sendCalibration()) {
        answer = "NAK: Failed to calibrate scale";
    }
    if (answer && takeBack)
        restoreCalibration(before);
    MIF_TRACE_LEAVE();
    return answer ? createStringCommand(index, tag, "%s", answer) : createAckCommand(index, tag);
}
