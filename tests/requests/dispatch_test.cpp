// Machine control's events reach their handlers with the right fields, and
// nothing is read past a short event. The daemon's own table is under test;
// the handlers here only record what they were given.
#include "request_fixture.h"

#include <cstring>
#include <mutex>
#include <sstream>

#include "commands/service/scale_events.h"
#include "monitor/machine_events.h"
#include "requests/mcl_event_dispatch.h"
#include "requests/request_codes.h"

namespace {

std::mutex callsLock;
std::vector<std::string> calls;

template <typename... Args> void record(const char *name, Args... args)
{
    std::ostringstream out;
    out << name;
    ((out << ' ' << int64_t(args)), ...);
    std::lock_guard<std::mutex> guard(callsLock);
    calls.push_back(out.str());
}

std::vector<std::string> takeCalls()
{
    std::lock_guard<std::mutex> guard(callsLock);
    std::vector<std::string> out;
    out.swap(calls);
    return out;
}

// Payload with byte i = i + 1, so that every offset reads a known value.
Bytes counting(size_t size)
{
    Bytes out(size);
    for (size_t i = 0; i < size; i++)
        out[i] = uint8_t(i + 1);
    return out;
}

void dispatch(uint32_t id, const Bytes &payload, uint16_t topic = 0)
{
    EventHeader header{topic, 0, id};
    Bytes msg(sizeof header + payload.size());
    memcpy(msg.data(), &header, sizeof header);
    if (!payload.empty())
        memcpy(msg.data() + sizeof header, payload.data(), payload.size());
    MclEventDispatcher(msg.data(), payload.empty() ? nullptr : msg.data() + 8, uint8_t(payload.size()));
}

} // namespace

// The handlers the daemon's table calls, as recorders.
void GUI_IF_onCurrentTemperatureChanged(uint32_t t) { record("temperature", t); }
void GUI_IF_onSpeedChangedByApplication(int32_t s) { record("speed", s); }
void GUI_IF_onRotationDirectionChanged(int32_t d) { record("rotation", d); }
void GUI_IF_onMotorModeChanged(int32_t m) { record("mode", m); }
void GUI_IF_onErrorAndWarnings(int32_t e) { record("error", e); }
void GUI_IF_onTimeChangedByApplication(uint32_t m, uint32_t s) { record("time", m, s); }
void GUI_IF_onSpeedStatusChanged(int32_t s) { record("speedStatus", s); }
void RemoteIF_onEvent(uint64_t t, uint8_t code, uint16_t value) { record("event", t, code, value); }
void RemoteIF_onErrorEvent(const uint8_t *p) { record("errorEvent", p[27]); }
void RemoteIF_onNewPrimaryMotorData(const uint8_t *p) { record("primary", p[19]); }
void RemoteIF_onNewSecondaryMotorData(const uint8_t *p) { record("secondary", p[17]); }
void RemoteIF_onNewTestModeCmdData(uint8_t code, uint16_t data) { record("testMode", code, data); }
void RemoteIF_onHeatingControl(uint64_t t, uint16_t value, uint8_t state) { record("heating", t, value, state); }
void onScaleWeight(int32_t w) { record("weight", w); }
void onScaleAdValue(int32_t v) { record("adValue", v); }

namespace {

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        installMclEventTable(kMclEventTable, kMclEventTableSize);
        takeCalls();
    }
    void TearDown() override { installMclEventTable(nullptr, 0); }
};

// Words of counting(): bytes 1,2,3,4 little-endian and so on.
const int64_t W0 = 0x04030201, W1 = 0x08070605, W2 = 0x0C0B0A09;
const int64_t TIME = 0x0807060504030201;

TEST_F(DispatchTest, EachIdReachesItsHandlerWithItsFields)
{
    struct Row {
        uint32_t id;
        size_t span;
        std::string call;   // empty: accepted, nothing called
    };
    const std::vector<Row> rows = {
        {0, 4, ""}, {1, 4, ""}, {3, 4, ""}, {4, 4, ""}, {16, 4, ""}, {12, 1, ""},
        {2, 4, "temperature " + std::to_string(W0)},
        {5, 4, "speed " + std::to_string(W0)},
        {6, 4, "speed " + std::to_string(W0)},
        {7, 4, "rotation " + std::to_string(W0)},
        {8, 4, "mode " + std::to_string(W0)},
        {9, 4, "mode " + std::to_string(W0)},
        {10, 4, "weight " + std::to_string(W0)},
        {11, 8, "error " + std::to_string(W0)},
        {13, 8, "time " + std::to_string(W0) + " " + std::to_string(W1)},
        {14, 8, "time " + std::to_string(W0) + " " + std::to_string(W1)},
        {15, 4, "speedStatus " + std::to_string(W0)},
        {18, 16, "event " + std::to_string(TIME) + " 11 " + std::to_string(0x0E0D)},
        {19, 28, "errorEvent 28"},
        {20, 14, "adValue " + std::to_string(W2)},
        {21, 20, "primary 20"},
        {22, 18, "secondary 18"},
        {23, 4, "testMode 1 " + std::to_string(0x0403)},
        {24, 11, "heating " + std::to_string(TIME) + " " + std::to_string(0x0A09) + " 11"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.id);
        dispatch(row.id, counting(row.span));
        std::vector<std::string> seen = takeCalls();
        if (row.call.empty()) {
            EXPECT_TRUE(seen.empty());
        } else {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], row.call);
        }
        // One byte short of the row's fields: ignored.
        dispatch(row.id, counting(row.span - 1));
        EXPECT_TRUE(takeCalls().empty());
    }
}

TEST_F(DispatchTest, UnknownIdsAreIgnored)
{
    for (uint32_t id : {17u, 25u, 26u, 1000u}) {
        dispatch(id, counting(40));
        EXPECT_TRUE(takeCalls().empty()) << id;
    }
}

TEST_F(DispatchTest, WithoutATableNothingIsCalled)
{
    installMclEventTable(nullptr, 0);
    dispatch(MCL_EV_SPEED_CHANGED, counting(4));
    EXPECT_TRUE(takeCalls().empty());
}

// Through the messaging layer: machine control's events on both topics.
class PublishedEventTest : public RequestTest {};

TEST_F(PublishedEventTest, EventsOnBothTopicsAreDispatched)
{
    installMclEventTable(kMclEventTable, kMclEventTableSize);
    takeCalls();
    ASSERT_EQ(IPC_Subscribe("Mcl", MCL_TOPIC_0, MclEventDispatcher), IPC_OK);
    ASSERT_EQ(IPC_Subscribe("Mcl", MCL_TOPIC_1, MclEventDispatcher), IPC_OK);
    auto called = [](const std::string &what) {
        return [what] {
            std::lock_guard<std::mutex> guard(callsLock);
            for (const std::string &c : calls)
                if (c == what)
                    return true;
            return false;
        };
    };
    EXPECT_TRUE(peer.publishUntil(MCL_TOPIC_0, MCL_EV_SPEED_CHANGED, bytesOf(int32_t(1100)),
                                  called("speed 1100"), 3000));
    EXPECT_TRUE(peer.publishUntil(MCL_TOPIC_1, MCL_EV_MOTOR_MODE, bytesOf(int32_t(3)),
                                  called("mode 3"), 3000));
    // Another topic of machine control's is not subscribed.
    peer.publish(7, MCL_EV_MOTOR_MODE, bytesOf(int32_t(44)));
    EXPECT_FALSE(peer.waitFor(called("mode 44"), 300));
    installMclEventTable(nullptr, 0);
}

} // namespace
