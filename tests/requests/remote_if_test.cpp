// Every request of the machine-control catalogue: its code and payload bytes,
// and its result when machine control succeeds, refuses or stays silent.
#include "request_fixture.h"

#include <cstring>
#include <functional>

#include "requests/remote_if.h"
#include "requests/request_codes.h"

namespace {

enum class Kind { Flag, Status, Value };

struct Case {
    const char *name;
    uint32_t code;
    Kind kind;
    Bytes request;                    // payload bytes machine control receives
    Bytes reply;                      // payload of a successful reply
    int64_t result;                   // the function's result for that reply
    std::function<int64_t()> call;
    bool silent = false;              // logs nothing
};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<Case> &cases()
{
    static const std::vector<Case> all = {
        {"RemoteIF_setRemoteIFActive", 17, Kind::Status, {1}, {}, 0, [] { return RemoteIF_setRemoteIFActive(1); }},
        {"RemoteIF_getRemoteIFActive", 18, Kind::Flag, {}, {1}, 1, [] { return RemoteIF_getRemoteIFActive(); }},
        {"RemoteIF_getPrimaryMotorData", 19, Kind::Flag, {}, {3, 9}, 3, [] { return RemoteIF_getPrimaryMotorData(); }},
        {"RemoteIF_requestSecondaryMotorData", 20, Kind::Flag, {}, {1}, 1,
         [] { return RemoteIF_requestSecondaryMotorData(); }, true},
        {"RemoteIF_activateBlackBoxLogging", 21, Kind::Status, {0}, {}, 0, [] { return RemoteIF_activateBlackBoxLogging(0); }},
        {"RemoteIF_getSysTime", 23, Kind::Value, {}, bytesOf(uint64_t(0x0102030405060708)), 0x0102030405060708,
         [] { return int64_t(RemoteIF_getSysTime()); }},
        {"RemoteIF_getMotorValueFT", 28, Kind::Value, {}, bytesOf(int16_t(-5)), -5,
         [] { return int64_t(RemoteIF_getMotorValueFT()); }, true},
        {"RemoteIF_getMotorValueTS", 29, Kind::Value, {}, bytesOf(int32_t(-70000)), -70000,
         [] { return int64_t(RemoteIF_getMotorValueTS()); }, true},
        {"RemoteIF_activateRemoteHeatingControl", 30, Kind::Status, {1}, {}, 0,
         [] { return RemoteIF_activateRemoteHeatingControl(1); }},
        {"RemoteIF_setBalanceCalibrationValues", 32, Kind::Flag,
         cat({{7, 0, 0, 0}, bytesOf(int32_t(-2)), bytesOf(int32_t(300000))}), {1}, 1,
         [] { return RemoteIF_setBalanceCalibrationValues(7, -2, 300000); }},
        {"RemoteIF_getBalanceTaraValue", 33, Kind::Value, {}, bytesOf(int32_t(-4321)), -4321,
         [] { return int64_t(RemoteIF_getBalanceTaraValue()); }},
        {"RemoteIF_setBalanceTaraValue", 34, Kind::Status, bytesOf(int32_t(-1234)), {}, 0,
         [] { return RemoteIF_setBalanceTaraValue(-1234); }},
        {"RemoteIF_setHeating", 36, Kind::Flag, {1}, {1}, 1, [] { return RemoteIF_setHeating(1); }},
        {"RemoteIF_handleBowl", 37, Kind::Flag, {0}, {0}, 0, [] { return RemoteIF_handleBowl(0); }},
        {"RemoteIF_handlePowerRelay", 38, Kind::Flag, {1}, {1}, 1, [] { return RemoteIF_handlePowerRelay(1); }},
        // 1, a byte not used, then 2000, 3 and 4 as little-endian 16-bit numbers.
        {"RemoteIF_setSpeed", 39, Kind::Flag, {1, 0, 0xD0, 0x07, 3, 0, 4, 0}, {1}, 1,
         [] { return RemoteIF_setSpeed(1, 2000, 3, 4); }},
        {"RemoteIF_resetMC", 40, Kind::Flag, {}, {1}, 1, [] { return RemoteIF_resetMC(); }},
        {"RemoteIF_powerOff", 41, Kind::Flag, bytesOf(uint16_t(500)), {1}, 1, [] { return RemoteIF_powerOff(500); }},
        {"RemoteIF_resetPowerRelayLock", 42, Kind::Flag, {}, {1}, 1, [] { return RemoteIF_resetPowerRelayLock(); }},
        {"RemoteIF_resetCoverSwitchLock", 43, Kind::Flag, {}, {1}, 1, [] { return RemoteIF_resetCoverSwitchLock(); }},
        {"RemoteIF_sendTestModeCommand", 44, Kind::Flag, bytesOf(int32_t(-3)), {1}, 1,
         [] { return RemoteIF_sendTestModeCommand(-3); }},
        {"RemoteIF_setAmbilightPWM", 45, Kind::Flag, {30, 70}, {1}, 1, [] { return RemoteIF_setAmbilightPWM(30, 70); }},
        {"RemoteIF_SetWarmStart", 49, Kind::Flag, {1}, {1}, 1, [] { return RemoteIF_SetWarmStart(1); }},
        {"RemoteIF_setTransportTime", 50, Kind::Flag, bytesOf(uint16_t(1500)), {1}, 1,
         [] { return RemoteIF_setTransportTime(1500); }},
    };
    return all;
}

class RemoteIfTest : public RequestTest {};

TEST_F(RemoteIfTest, EachRequestSendsItsCodeAndPayloadAndReadsItsResult)
{
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        peer.setReply(c.code, 0, c.reply);
        EXPECT_EQ(c.call(), c.result);
        std::vector<PeerRequest> seen = peer.requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].code, c.code);
        EXPECT_EQ(seen[0].payload, c.request);
        EXPECT_EQ(seen[0].senderId, 5u);
        EXPECT_EQ(seen[0].transaction, 0u);
        EXPECT_EQ(seen[0].replace, 0u);
        // The trace line is the bare name; the silent requests log nothing.
        std::vector<Line> lines = logLines();
        if (c.silent) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].text, c.name);
            EXPECT_EQ(lines[0].level, 6u);
        }
        peer.clear();
        resetLog();
    }
}

// A refusal is one try; only the status-only requests, which never look at
// the reply, report success.
TEST_F(RemoteIfTest, RefusedRequestsFailAfterOneTry)
{
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        peer.setReply(c.code, 3, c.reply);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(countLines("sendRequest failed with status 9"), 0u);
        peer.clear();
        resetLog();
    }
}

TEST_F(RemoteIfTest, SilentMachineControlIsTriedThreeTimes)
{
    shortReplyTimeout();
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        peer.setSilent(c.code);
        EXPECT_EQ(c.call(), c.kind == Kind::Status ? IPC_TIMEOUT : 0);
        EXPECT_EQ(countLines("sendRequest failed with status 9"), 3u);
        settleSilence(c.code, 3);
    }
}

// Nothing is read past the reply: a reply without the bytes a request reads
// is a failure.
TEST_F(RemoteIfTest, RepliesTooShortForTheResultAreFailures)
{
    for (const Case &c : cases()) {
        if (c.kind == Kind::Status)
            continue;
        SCOPED_TRACE(c.name);
        if (c.kind == Kind::Value) {
            peer.setReply(c.code, 0, Bytes(c.reply.begin(), c.reply.end() - 1));
            EXPECT_EQ(c.call(), 0);
        }
        peer.setReply(c.code, 0, {});   // a bare 12-byte reply
        EXPECT_EQ(c.call(), 0);
    }
}

TEST_F(RemoteIfTest, VersionIsCopiedFromReplyBytes4To35)
{
    Bytes reply(36);
    reply[0] = 1;
    for (int i = 0; i < 32; i++)
        reply[4 + i] = uint8_t('A' + i);
    peer.setReply(RIF_GET_VERSION, 0, reply);
    uint8_t version[32] = {};
    EXPECT_EQ(RemoteIF_getVersion(version), 1);
    EXPECT_EQ(Bytes(version, version + 32), Bytes(reply.begin() + 4, reply.end()));
    EXPECT_TRUE(peer.requests(RIF_GET_VERSION)[0].payload.empty());

    // Short, refused or silent: the destination stays as it was.
    uint8_t untouched[32];
    memset(untouched, 0xEE, sizeof untouched);
    peer.setReply(RIF_GET_VERSION, 0, Bytes(reply.begin(), reply.end() - 1));
    EXPECT_EQ(RemoteIF_getVersion(untouched), 0);
    peer.setReply(RIF_GET_VERSION, 2, reply);
    EXPECT_EQ(RemoteIF_getVersion(untouched), 0);
    shortReplyTimeout();
    peer.setSilent(RIF_GET_VERSION);
    EXPECT_EQ(RemoteIF_getVersion(untouched), 0);
    EXPECT_EQ(Bytes(untouched, untouched + 32), Bytes(32, 0xEE));
    settleSilence(RIF_GET_VERSION, 4);
}

TEST_F(RemoteIfTest, BackendNumbersAreCopiedFromReplyByte12On)
{
    const std::string serial = "12345678901234567";
    Bytes reply(12 + serial.size(), 0);
    reply[0] = 1;
    memcpy(reply.data() + 12, serial.data(), serial.size());
    for (uint32_t code : {uint32_t(RIF_GET_BACKEND_SERIAL), uint32_t(RIF_GET_BACKEND_ARTICLE)}) {
        SCOPED_TRACE(code);
        peer.setReply(code, 0, reply);
        char out[18] = {};
        auto call = [&](char *dest) {
            return code == RIF_GET_BACKEND_SERIAL
                       ? RemoteIF_getBackendSerialNumber(reinterpret_cast<uint8_t *>(dest), 17)
                       : RemoteIF_getBackendArticleNumber(reinterpret_cast<uint8_t *>(dest), 17);
        };
        EXPECT_EQ(call(out), 1);
        EXPECT_EQ(std::string(out), serial);
        // The length goes as two bytes: 17, 0.
        EXPECT_EQ(peer.requests(code).at(0).payload, (Bytes{17, 0}));

        char untouched[18] = "-----------------";
        peer.setReply(code, 0, Bytes(reply.begin(), reply.end() - 1));
        EXPECT_EQ(call(untouched), 0);
        EXPECT_EQ(std::string(untouched), "-----------------");
    }
}

TEST_F(RemoteIfTest, CalibrationValuesAreReadIntoBothOutputs)
{
    Bytes reply = bytesOf(int32_t(-5));
    Bytes second = bytesOf(int32_t(77));
    reply.insert(reply.end(), second.begin(), second.end());
    peer.setReply(RIF_GET_BALANCE_CALIBRATION, 0, reply);
    int32_t first = 0, last = 0;
    EXPECT_NE(RemoteIF_getBalanceCalibrationValues(&first, &last), 0);
    EXPECT_EQ(first, -5);
    EXPECT_EQ(last, 77);

    // A value whose low byte is 0 is still a success.
    reply[0] = 0;
    peer.setReply(RIF_GET_BALANCE_CALIBRATION, 0, reply);
    EXPECT_NE(RemoteIF_getBalanceCalibrationValues(&first, &last), 0);

    first = last = 1;
    peer.setReply(RIF_GET_BALANCE_CALIBRATION, 0, Bytes(reply.begin(), reply.begin() + 7));
    EXPECT_EQ(RemoteIF_getBalanceCalibrationValues(&first, &last), 0);
    peer.setReply(RIF_GET_BALANCE_CALIBRATION, 4, reply);
    EXPECT_EQ(RemoteIF_getBalanceCalibrationValues(&first, &last), 0);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(last, 1);
}

} // namespace
