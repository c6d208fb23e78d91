// The scale readings, the calibration table with its file, and the segments
// machine control receives.
#include <sys/stat.h>
#include <thread>

#include "commands/service/scale.h"
#include "commands/service/service_commands.h"
#include "service_test_support.h"
#include "session/command_list.h"

namespace {

const Segment kEndMarker = {255, int32_t(0xDEADBEEF), int32_t(0xCAFEBABE)};
const char *const kCalFile = "/mnt/rwfs/data/system_config/scali.dat";

class ScaleTest : public ServiceCommandTest {
protected:
    void SetUp() override
    {
        ServiceCommandTest::SetUp();
        resetScaleReadings();
        readCaldata();   // no file yet: an empty table
    }
    void TearDown() override
    {
        releaseCaldata();
        ServiceCommandTest::TearDown();
    }

    std::string setCal(const char *argument) { return call(cmdHandler_MCHSetCalData, MCH_SET_CALDATA, argument); }
    std::string getCal() { return call(cmdHandler_MCHGetCalData, MCH_GET_CALDATA, nullptr); }
};

TEST_F(ScaleTest, WeightNeedsBothReadings)
{
    EXPECT_EQ(call(cmdHandler_MCHGetWeight, MCH_GET_WEIGHT, nullptr), "NAK: Scale sent no data");
    onScaleWeight(500);
    EXPECT_EQ(call(cmdHandler_MCHGetWeight, MCH_GET_WEIGHT, nullptr), "NAK: Scale sent no data");
    onScaleAdValue(81200);
    EXPECT_EQ(call(cmdHandler_MCHGetWeight, MCH_GET_WEIGHT, nullptr), "500,81200");
    onScaleWeight(-3);
    EXPECT_EQ(call(cmdHandler_MCHGetWeight, MCH_GET_WEIGHT, nullptr), "-3,81200") << "the last value counts";

    resetScaleReadings();
    onScaleAdValue(7);
    EXPECT_EQ(call(cmdHandler_MCHGetWeight, MCH_GET_WEIGHT, nullptr), "NAK: Scale sent no data");
}

TEST_F(ScaleTest, Tare)
{
    mcl.setReply(RIF_GET_BALANCE_TARA, 0, bytesOf<int32_t>(1234));
    EXPECT_EQ(call(cmdHandler_MCHGetTara, MCH_GET_TARA, nullptr), "1234");
    mcl.setReply(RIF_GET_BALANCE_TARA, 0, bytesOf<int32_t>(-2));
    EXPECT_EQ(call(cmdHandler_MCHGetTara, MCH_GET_TARA, nullptr), "4294967294");
    mcl.setReply(RIF_GET_BALANCE_TARA, 3, bytesOf<int32_t>(1234));
    EXPECT_EQ(call(cmdHandler_MCHGetTara, MCH_GET_TARA, nullptr), "0") << "a refused request reads as 0";

    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, "-15"), "ACK");
    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, "0x20"), "ACK");
    mcl.setReply(RIF_SET_BALANCE_TARA, 3);
    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, "7"), "ACK") << "the request's result is not examined";
    std::vector<Bytes> sent;
    for (const PeerRequest &r : mcl.requests(RIF_SET_BALANCE_TARA))
        sent.push_back(r.payload);
    EXPECT_EQ(sent, (std::vector<Bytes>{bytesOf<int32_t>(-15), bytesOf<int32_t>(32), bytesOf<int32_t>(7)}));
    EXPECT_TRUE(mcl.requests(GUI_RESET_BALANCE).empty());

    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, nullptr), "ACK");
    ASSERT_EQ(mcl.requests(GUI_RESET_BALANCE).size(), 1u) << "without a number the scale takes its load as the tare";

    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, "12g"), "NAK: Wrong number format in argument");
    EXPECT_EQ(call(cmdHandler_MCHSetTara, MCH_SET_TARA, "2147483648"), "NAK: Wrong number format in argument");
    EXPECT_EQ(mcl.requests(RIF_SET_BALANCE_TARA).size(), 3u);
}

TEST_F(ScaleTest, SecondPointStoresAndCalibrates)
{
    root.write(kCalFile, "0,1200;");
    readCaldata();
    EXPECT_EQ(getCal(), "0,1200;");

    EXPECT_EQ(setCal("1000,81200"), "ACK");
    EXPECT_EQ(root.read(kCalFile), "0,1200;1000,81200;");
    EXPECT_EQ(getCal(), "0,1200;1000,81200;");
    std::vector<PeerRequest> sent = mcl.requests(RIF_SET_BALANCE_CALIBRATION);
    ASSERT_EQ(sent.size(), 2u);
    // Segment 1, three unused bytes, AD value 1200 and slope 800000.
    EXPECT_EQ(sent[0].payload, (Bytes{1, 0, 0, 0, 0xB0, 0x04, 0, 0, 0x00, 0x35, 0x0C, 0x00}));
    EXPECT_EQ(sent[1].payload, (Bytes{255, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0xBE, 0xBA, 0xFE, 0xCA}));

    // A third point between them: segments in grams order, numbered from 1.
    mcl.clear();
    EXPECT_EQ(setCal("500,40000"), "ACK");
    EXPECT_EQ(root.read(kCalFile), "0,1200;500,40000;1000,81200;");
    EXPECT_EQ(segmentsSent(), (std::vector<Segment>{{1, 1200, 776000}, {2, 40000, 824000}, kEndMarker}));
}

TEST_F(ScaleTest, PointFromTheCurrentReading)
{
    EXPECT_EQ(setCal("1000"), "NAK: Scale sent no data");
    EXPECT_EQ(calibrationPointCount(), 0u);

    onScaleAdValue(80000);
    EXPECT_EQ(setCal("500"), "NAK: Failed to calibrate scale") << "one point is no segment";
    EXPECT_EQ(root.read(kCalFile), "500,80000;") << "the point is stored all the same";
    EXPECT_TRUE(segmentsSent().empty());

    EXPECT_EQ(setCal("1000"), "ACK");
    EXPECT_EQ(root.read(kCalFile), "500,80000;1000,80000;");
    EXPECT_EQ(segmentsSent(), (std::vector<Segment>{{1, 80000, 0}, kEndMarker})) << "a flat segment is a valid one";
}

TEST_F(ScaleTest, RepeatedGramsReplaceTheirValue)
{
    EXPECT_EQ(setCal("0,1200"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(setCal("1000,81200"), "ACK");
    EXPECT_EQ(setCal("0,1300"), "ACK");
    EXPECT_EQ(calibrationPointCount(), 2u);
    EXPECT_EQ(root.read(kCalFile), "0,1300;1000,81200;");
    std::vector<Segment> sent = segmentsSent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], (Segment{1, 1300, 799000}));
    EXPECT_EQ(sent.back(), kEndMarker);
}

TEST_F(ScaleTest, SlopeIsSignedAndMustFit)
{
    CalibrationPoint zero{0, 1200}, kilo{1000, 81200};
    int32_t slope = 0;
    ASSERT_TRUE(calibrationSlope(zero, kilo, &slope));
    EXPECT_EQ(slope, 800000);
    ASSERT_TRUE(calibrationSlope(kilo, CalibrationPoint{2000, 1200}, &slope));
    EXPECT_EQ(slope, -800000) << "falling AD values give a falling slope";
    // 300,000 AD counts over one gram: 3e9, beyond a signed 32-bit value.
    EXPECT_FALSE(calibrationSlope(CalibrationPoint{0, 0}, CalibrationPoint{1, 300000}, &slope));
    EXPECT_FALSE(calibrationSlope(CalibrationPoint{0, 0}, CalibrationPoint{1, -300000}, &slope));
    // Differences beyond 32 bits themselves.
    ASSERT_TRUE(calibrationSlope(CalibrationPoint{0, INT32_MIN}, CalibrationPoint{4294967295u, INT32_MAX}, &slope));
    EXPECT_EQ(slope, 10000);

    // A falling pair through the command.
    EXPECT_EQ(setCal("0,81200"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(setCal("1000,1200"), "ACK");
    EXPECT_EQ(segmentsSent(), (std::vector<Segment>{{1, 81200, -800000}, kEndMarker}));

    // A steep pair: nothing is sent, and the point is taken back.
    mcl.clear();
    EXPECT_EQ(setCal("1001,400000"), "NAK: Failed to calibrate scale");
    EXPECT_TRUE(segmentsSent().empty()) << "no segment may go out when one does not fit";
    EXPECT_EQ(root.read(kCalFile), "0,81200;1000,1200;");
    EXPECT_EQ(getCal(), "0,81200;1000,1200;");
}

TEST_F(ScaleTest, SegmentNumbersStayBelowTheEndMarker)
{
    std::vector<CalibrationSegment> segments;
    for (uint32_t grams = 0; grams < 255; grams++)
        ASSERT_TRUE(addCalibrationPoint(grams, int32_t(grams * 100)));
    ASSERT_TRUE(calibrationSegments(&segments));
    ASSERT_EQ(segments.size(), 254u);
    EXPECT_EQ(segments.back().number, 254);
    EXPECT_EQ(segments.back().slope, 1000000);

    // One point more would number a segment 255, the end marker: it is not
    // taken, but a known point still gets its new value.
    EXPECT_FALSE(addCalibrationPoint(255, 25500));
    EXPECT_EQ(calibrationPointCount(), 255u);
    EXPECT_TRUE(addCalibrationPoint(254, 25401));
    ASSERT_TRUE(calibrationSegments(&segments));
    EXPECT_EQ(segments.back().number, 254);
}

// A client adding point after point cannot make the file grow beyond what
// the transfer carries: the point past the last segment number is refused
// and not stored, while a known point still takes a new value.
TEST_F(ScaleTest, TheFileStaysBoundedAtTheLastSegmentNumber)
{
    std::string full;
    for (uint32_t grams = 0; grams < 254; grams++)
        full += std::to_string(grams) + "," + std::to_string(grams * 100) + ";";
    root.write(kCalFile, full);
    readCaldata();
    ASSERT_EQ(calibrationPointCount(), 254u);
    EXPECT_EQ(setCal("254,25400"), "ACK");
    full += "254,25400;";
    EXPECT_EQ(segmentsSent().size(), 255u) << "254 segments and the end marker";

    mcl.clear();
    EXPECT_EQ(setCal("255,25500"), "NAK: Unable to add calibration data");
    EXPECT_EQ(setCal("300,30000"), "NAK: Unable to add calibration data");
    EXPECT_TRUE(segmentsSent().empty());
    EXPECT_EQ(calibrationPointCount(), 255u);
    EXPECT_EQ(root.read(kCalFile), full);
    EXPECT_EQ(setCal("254,25401"), "ACK") << "a known point still takes a new value";
    EXPECT_EQ(calibrationPointCount(), 255u);
}

TEST_F(ScaleTest, SegmentsAreTriedFiftyTimes)
{
    root.write(kCalFile, "0,1200;");
    readCaldata();
    // Machine control refuses (flag 0) until three tries have come.
    mcl.setReply(RIF_SET_BALANCE_CALIBRATION, 0, {0});
    std::thread relent([this] {
        mcl.waitForRequests(RIF_SET_BALANCE_CALIBRATION, 3, 3000);
        mcl.setReply(RIF_SET_BALANCE_CALIBRATION, 0, {1});
    });
    EXPECT_EQ(setCal("1000,81200"), "ACK");
    relent.join();
    std::vector<Segment> sent = segmentsSent();
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent.back(), kEndMarker);
    for (size_t i = 0; i + 1 < sent.size(); i++)
        EXPECT_EQ(sent[i], (Segment{1, 1200, 800000})) << "segment 1 again until it is taken";

    mcl.clear();
    mcl.setReply(RIF_SET_BALANCE_CALIBRATION, 0, {0});
    EXPECT_EQ(setCal("2000,161200"), "NAK: Failed to calibrate scale");
    sent = segmentsSent();
    EXPECT_EQ(sent.size(), 50u) << "fifty tries of segment 1, then nothing more";
    EXPECT_EQ(sent.back(), (Segment{1, 1200, 800000}));
    EXPECT_EQ(root.read(kCalFile), "0,1200;1000,81200;") << "a point machine control refused is taken back";
    EXPECT_EQ(getCal(), "0,1200;1000,81200;");
}

// A refused point leaves the table and the file exactly as they were, so
// that a NAK always means nothing changed and one bad point cannot make
// every later one fail. Only the first point of a table is kept with its
// NAK: it waits for the second.
TEST_F(ScaleTest, ARefusedPointLeavesTableAndFileAsTheyWere)
{
    onScaleAdValue(161200);
    EXPECT_EQ(setCal("0,1200"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(root.read(kCalFile), "0,1200;") << "the first point is stored";
    EXPECT_EQ(setCal("2000"), "ACK");
    EXPECT_EQ(root.read(kCalFile), "0,1200;2000,161200;");

    // "-5" reads as 4294967291 g; machine control refuses the flat segment
    // it makes. A slope that does not fit is refused before anything is sent.
    mcl.setReply(RIF_SET_BALANCE_CALIBRATION, 0, {0});
    EXPECT_EQ(setCal("-5"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(setCal("1,400000"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(root.read(kCalFile), "0,1200;2000,161200;");
    EXPECT_EQ(getCal(), "0,1200;2000,161200;");
    mcl.setReply(RIF_SET_BALANCE_CALIBRATION, 0, {1});
    EXPECT_EQ(setCal("1000,81200"), "ACK") << "the next good point is taken";
    EXPECT_EQ(root.read(kCalFile), "0,1200;1000,81200;2000,161200;");

    // After CLEAR the file still holds the old table: a refused point of
    // the new one (here with a first point put in memory only) leaves that
    // file, not the table in memory.
    EXPECT_EQ(setCal("CLEAR"), "ACK");
    ASSERT_TRUE(addCalibrationPoint(0, 1000));
    EXPECT_EQ(setCal("1,400000"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(root.read(kCalFile), "0,1200;1000,81200;2000,161200;");
    EXPECT_EQ(getCal(), "0,1000;");

    // A file that was never there is not left behind by a refused point.
    releaseCaldata();
    ASSERT_EQ(unlink(root.at(kCalFile).c_str()), 0);
    ASSERT_TRUE(addCalibrationPoint(0, 1000));
    EXPECT_EQ(setCal("1,400000"), "NAK: Failed to calibrate scale");
    EXPECT_FALSE(root.exists(kCalFile));
    EXPECT_EQ(getCal(), "0,1000;");
}

TEST_F(ScaleTest, ArgumentsAndClear)
{
    EXPECT_EQ(setCal(nullptr), "NAK: No arguments, specify <grams (, ad_value)>");
    EXPECT_EQ(setCal("abc"), "NAK: Wrong number format in argument");
    EXPECT_EQ(setCal("1000,81200x"), "NAK: Wrong number format in argument");
    EXPECT_EQ(setCal("4294967296,5"), "NAK: Wrong number format in argument");
    EXPECT_EQ(calibrationPointCount(), 0u);
    EXPECT_EQ(getCal(), "NAK: no caldata found");

    EXPECT_EQ(setCal("0,1200"), "NAK: Failed to calibrate scale");
    EXPECT_EQ(setCal("CLEAR"), "ACK");
    EXPECT_EQ(getCal(), "NAK: no caldata found");
    EXPECT_EQ(root.read(kCalFile), "0,1200;") << "CLEAR leaves the file";
    readCaldata();
    EXPECT_EQ(getCal(), "0,1200;") << "the next start loads the file again";
    EXPECT_EQ(setCal("clear"), "NAK: Wrong number format in argument");
}

TEST_F(ScaleTest, LoadingTheFile)
{
    root.write(kCalFile, "0,1200;x,5;");
    readCaldata();
    EXPECT_EQ(getCal(), "0,1200;");
    EXPECT_TRUE(log.hasText(3, "readCaldataPair", "Invalid number format in value pair x,5!\n"));
    EXPECT_TRUE(log.hasText(3, "readCaldata", "No field seperator found in value pair!\n"));

    root.write(kCalFile, "1000,81200;500;0,1200;");
    readCaldata();
    EXPECT_EQ(getCal(), "1000,81200;") << "loading stops at the pair without separator";
    EXPECT_TRUE(log.hasText(3, "readCaldataPair", "No field seperator found in value pair!\n"));

    root.write(kCalFile, "1000,81200;0x0,-0x10;1000,81300;0,1200");
    readCaldata();
    EXPECT_EQ(getCal(), "0,-16;1000,81300;") << "sorted, one pair per gram value, the unended text ignored";

    root.write(kCalFile, "0,1200;1,2147483648;");
    readCaldata();
    EXPECT_EQ(getCal(), "0,1200;") << "an AD value beyond 32 bits is malformed";
}

TEST_F(ScaleTest, MissingFileLeavesTheTableEmpty)
{
    root.write(kCalFile, "0,1200;1000,81200;");
    readCaldata();
    ASSERT_EQ(calibrationPointCount(), 2u);
    std::filesystem::remove(root.at(kCalFile));
    readCaldata();
    EXPECT_EQ(getCal(), "NAK: no caldata found");
    EXPECT_TRUE(log.hasText(3, "readCaldata", "No such file or directory\n"));
}

TEST_F(ScaleTest, StoringReplacesTheFileWhole)
{
    root.write(kCalFile, "0,1200;");
    readCaldata();
    std::string kept = root.secondName(kCalFile);
    EXPECT_EQ(setCal("1000,81200"), "ACK");
    EXPECT_EQ(root.read(kCalFile), "0,1200;1000,81200;");
    EXPECT_EQ(root.read(kept), "0,1200;") << "the old file must not be rewritten in place";
    size_t files = 0;
    for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator(root.at("/mnt/rwfs/data/system_config")))
        files++;
    EXPECT_EQ(files, 2u) << "no temporary file is left behind";
}

TEST_F(ScaleTest, StoreFailure)
{
    std::filesystem::remove_all(root.at("/mnt/rwfs/data/system_config"));
    EXPECT_EQ(setCal("0,1200"), "NAK: Failed to store calibration data");
    EXPECT_TRUE(log.hasText(3, "storeCaldata", "No such file or directory\n"));
    EXPECT_EQ(getCal(), "NAK: no caldata found") << "a point that could not be stored is taken back";
    EXPECT_TRUE(segmentsSent().empty());
}

} // namespace
