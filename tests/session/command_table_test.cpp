#include "session/command_list.h"
#include "session/command_table.h"
#include "session/daemon_commands.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

Command *request(int32_t index, const char *payload)
{
    return createRawCommand(index, 5, payload, payload ? uint32_t(strlen(payload) + 1) : 0);
}

class CommandTableTest : public ::testing::Test {
protected:
    void SetUp() override { installCommandTable(kDaemonCommandTable); }
};

TEST_F(CommandTableTest, RowsAreInIndexOrderWithTheirLevelsAndTypes)
{
    for (int32_t i = 0; i < COMMAND_COUNT; i++) {
        EXPECT_EQ(kDaemonCommandTable[i].index, i);
        EXPECT_NE(getCmdName(i)[0], '\0') << i;
        EXPECT_NE(getCmdHandler(i), nullptr) << i;
    }
    EXPECT_STREQ(getCmdName(MCH_SET_TIME_AND_DATE), "MCH_SET_TIME_AND_DATE");
    EXPECT_EQ(getCmdAuthLevel(MCH_SET_TIME_AND_DATE), 1) << "needs only level 1, unlike MCH_SET_TIME";
    EXPECT_EQ(getCmdAuthLevel(MCH_SET_TIME), 5);
    EXPECT_EQ(getCmdAuthLevel(CMD_ERROR), 0);
    EXPECT_EQ(getCmdAuthLevel(MCH_CHAP), 0);
    EXPECT_EQ(getCmdTransferType(SVC_GET_MATRIX), 2);
    EXPECT_EQ(getCmdTransferType(MCH_INSTALL_DATA), 1);
    EXPECT_EQ(getCmdTransferType(MCH_GET_STATE), 0);

    int levelZero = 0, fileRows = 0;
    for (int32_t i = 0; i < COMMAND_COUNT; i++) {
        levelZero += getCmdAuthLevel(i) == 0;
        fileRows += getCmdTransferType(i) != 0;
    }
    EXPECT_EQ(levelZero, 2);
    EXPECT_EQ(fileRows, 6 + 6 + 4);
}

TEST_F(CommandTableTest, InvalidIndicesAreRefused)
{
    for (int32_t bad : {int32_t(COMMAND_COUNT), -1, 60, INT32_MIN}) {
        EXPECT_STREQ(getCmdName(bad), "");
        EXPECT_EQ(getCmdAuthLevel(bad), AUTH_INVALID);
        EXPECT_EQ(getCmdHandler(bad), nullptr);
        EXPECT_EQ(getCmdTransferType(bad), -1);
        Command *r = request(bad, nullptr);
        EXPECT_EQ(getCmdFilename(r), nullptr);
        deleteCommand(&r);
    }
    EXPECT_EQ(getCmdFilename(nullptr), nullptr);
}

TEST_F(CommandTableTest, FileNamesAndRotationSuffixes)
{
    struct Case { int32_t index; const char *payload; const char *file; } cases[] = {
        {SVC_GET_EVENTS, nullptr, "/mnt/rwfs/data/tech_box/Events.log"},
        {SVC_GET_EVENTS, "1", "/mnt/rwfs/data/tech_box/Events.log.1"},
        {SVC_GET_EVENTS, "12", "/mnt/rwfs/data/tech_box/Events.log.12"},
        {SVC_GET_EVENTS, "", "/mnt/rwfs/data/tech_box/Events.log"},
        {SVC_GET_EVENTS, "1234", nullptr},
        {SVC_GET_EVENTS, "123", nullptr},   // with its NUL the payload is 4 bytes
        {SVC_GET_BB, "/x", nullptr},        // would leave the log's own name
        {SVC_SET_EVENTS, "1", "/mnt/rwfs/data/tech_box/Events.log"},
        {MCH_SET_IPADDR, nullptr, "/mnt/rwfs/data/system_config/qxip"},
        {MCH_DISPLAY_IMG, nullptr, "/dev/fb"},
        {MCH_GET_STATE, "x", ""},
    };
    for (const Case &c : cases) {
        Command *r = request(c.index, c.payload);
        const char *file = getCmdFilename(r);
        if (c.file) {
            EXPECT_STREQ(file, c.file) << c.index << " " << (c.payload ? c.payload : "null");
        } else {
            EXPECT_EQ(file, nullptr) << c.index << " " << (c.payload ? c.payload : "null");
        }
        deleteCommand(&r);
    }
    // Three characters without a NUL still fit.
    Command *r = createRawCommand(SVC_GET_EVENTS, 1, "123", 3);
    EXPECT_STREQ(getCmdFilename(r), "/mnt/rwfs/data/tech_box/Events.log.123");
    deleteCommand(&r);
}

} // namespace
