// The GUI's request codes as the daemon sends them to machine control.
#include "request_fixture.h"

#include <functional>

#include "requests/gui_if.h"
#include "requests/request_codes.h"

namespace {

struct GuiCase {
    const char *trace;
    uint32_t code;
    uint8_t replace;
    Bytes payload;
    std::function<void()> call;
};

Bytes words(std::initializer_list<int32_t> values)
{
    Bytes out;
    for (int32_t v : values) {
        Bytes b = bytesOf(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

class GuiIfTest : public RequestTest {};

TEST_F(GuiIfTest, EachRequestSendsItsCodeFlagAndPayload)
{
    const std::vector<GuiCase> cases = {
        {"GUI_IF_setTimeByGUI", 0, 0, words({3, 45}), [] { GUI_IF_setTimeByGUI(3, 45); }},
        {"GUI_IF_setTurboTimeByGUI", 1, 0, words({1500}), [] { GUI_IF_setTurboTimeByGUI(1500); }},
        {"GUI_IF_setTemperatureByGUI", 2, 1, words({100}), [] { GUI_IF_setTemperatureByGUI(100); }},
        {"GUI_IF_setSnapSpeedByGUI", 3, 1, words({-4}), [] { GUI_IF_setSnapSpeedByGUI(-4); }},
        {"GUI_IF_reportUserActivity", 4, 0, words({1}), [] { GUI_IF_reportUserActivity(1); }},
        {"GUI_IF_reportGUIStatus", 5, 0, words({2}), [] { GUI_IF_reportGUIStatus(2); }},
        {"GUI_IF_RequestAutomatedRecipe", 6, 0, words({1, 2, 3}), [] { GUI_IF_RequestAutomatedRecipe(1, 2, 3); }},
        {"GUI_IF_popupAcknowledgedByUser", 7, 0, words({72}), [] { GUI_IF_popupAcknowledgedByUser(72); }},
        {"GUI_IF_RequestRotationByGUI", 8, 0, words({1}), [] { GUI_IF_RequestRotationByGUI(1); }},
        {"GUI_IF_RequestMotorFunctionByGUI", 9, 0, words({7}), [] { GUI_IF_RequestMotorFunctionByGUI(7); }},
        {"GUI_IF_RequestRotaryModeByGUI", 10, 1, words({5}), [] { GUI_IF_RequestRotaryModeByGUI(5); }},
        {"GUI_IF_EnableBalance", 12, 0, {0}, [] { GUI_IF_EnableBalance(); }},
        {"GUI_IF_DisableBalance", 13, 0, {0}, [] { GUI_IF_DisableBalance(); }},
        {"GUI_IF_ResetBalance", 14, 1, {0}, [] { GUI_IF_ResetBalance(); }},
        // One knob step up, logged with its decimal value.
        {"GUI_IF_setRemoteCommands : 12289", 15, 0, {0x01, 0x30}, [] { GUI_IF_setRemoteCommands(0x3001); }},
    };
    for (const GuiCase &c : cases) {
        SCOPED_TRACE(c.trace);
        c.call();
        std::vector<PeerRequest> seen = peer.requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].code, c.code);
        EXPECT_EQ(seen[0].replace, c.replace);
        EXPECT_EQ(seen[0].payload, c.payload);
        EXPECT_EQ(seen[0].senderId, 5u);
        std::vector<Line> lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, c.trace);
        EXPECT_EQ(lines[0].level, 6u);
        peer.clear();
        resetLog();
    }
}

// Fire and forget: one try, and only the trace log tells of the failure.
TEST_F(GuiIfTest, SilentMachineControlIsTriedOnceAndLogged)
{
    // A refusal is not a transport failure: nothing is logged for it.
    peer.setReply(GUI_SET_TEMPERATURE, 4);
    GUI_IF_setTemperatureByGUI(80);
    EXPECT_EQ(countLines("GUI_SendRequest failed with status 9"), 0u);

    shortReplyTimeout();
    peer.clear();
    peer.setSilent(GUI_SET_TEMPERATURE);
    GUI_IF_setTemperatureByGUI(80);
    EXPECT_EQ(countLines("GUI_SendRequest failed with status 9"), 1u);
    EXPECT_EQ(countLines("sendRequest failed with status 9"), 0u);
    EXPECT_TRUE(peer.waitIdle(3000));
    EXPECT_EQ(peer.requests(GUI_SET_TEMPERATURE).size(), 1u) << "no second try";
    settleSilence(GUI_SET_TEMPERATURE, 1);
}

TEST_F(GuiIfTest, ErrorToBlackBoxWritesARecordAndSendsNothing)
{
    GUI_IF_writeErrorToBlackBox(150, "Cover switch");
    EXPECT_EQ(countLines("GUI_IF_writeErrorToBlackBox"), 1u);

    LogEntry record{};
    bool found = false;
    for (unsigned i = 0; !found && logRingPeek(i, &record); i++) {
        found = record.kind == LOG_KIND_BLACKBOX_RECORD;
        if (!found)
            logEntryRelease(&record);
    }
    ASSERT_TRUE(found);
    Bytes data(record.data, record.data + record.dataSize);
    logEntryRelease(&record);
    // Two zero words, the lengths with their NULs, "150", "Cover switch".
    Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 13, 0, 0, 0, '1', '5', '0', 0};
    for (char ch : std::string("Cover switch"))
        expected.push_back(uint8_t(ch));
    expected.push_back(0);
    EXPECT_EQ(data, expected);
    EXPECT_TRUE(peer.requests().empty());
}

} // namespace
