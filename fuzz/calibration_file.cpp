// The calibration file as start-up reads it, with any content. The table it
// loads is sorted by grams with one pair per gram value, its text form reads
// back to the same table, and the segments for machine control can be
// worked out from it without fault.
#include <string>
#include <vector>

#include "commands/service/scale.h"
#include "fuzz_support.h"

namespace {

std::vector<CalibrationPoint> loadedTable()
{
    std::vector<CalibrationPoint> points;
    CalibrationPoint point;
    for (size_t i = 0; calibrationPoint(i, &point); i++)
        points.push_back(point);
    return points;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzWriteFile(SCALE_CALDATA_FILE, data, size);
    readCaldata();
    std::vector<CalibrationPoint> first = loadedTable();
    FUZZ_CHECK(first.size() == calibrationPointCount());
    for (size_t i = 1; i < first.size(); i++)
        FUZZ_CHECK(first[i - 1].grams < first[i].grams);

    std::vector<CalibrationSegment> segments;
    if (calibrationSegments(&segments)) {
        FUZZ_CHECK(segments.size() + 1 == first.size());
        for (size_t i = 0; i < segments.size(); i++)
            FUZZ_CHECK(segments[i].number == i + 1 && segments[i].adValue == first[i].adValue);
    }

    std::string text;
    FUZZ_CHECK(calibrationText(&text));
    fuzzWriteFile(SCALE_CALDATA_FILE, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    readCaldata();
    std::vector<CalibrationPoint> second = loadedTable();
    FUZZ_CHECK(second.size() == first.size());
    for (size_t i = 0; i < first.size(); i++)
        FUZZ_CHECK(second[i].grams == first[i].grams && second[i].adValue == first[i].adValue);
    releaseCaldata();
    return 0;
}
