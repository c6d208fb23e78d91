#include "monitor/tables.h"

#include <cstdio>
#include <cstring>

const MachineErrorRow enErr[ENERR_ROWS] = {
#define MIF_ENERR_ROW(code, name) {code, #name},
    MIF_ENERR_LIST(MIF_ENERR_ROW)
#undef MIF_ENERR_ROW
};

const GuiSpeedRow GuiSpeedTable[GUI_SPEED_ROWS] = {
    {100, 10000}, {95, 8800}, {90, 7600}, {85, 6700}, {80, 5800}, {75, 5100},
    {70, 4400},   {65, 3750}, {60, 3100}, {55, 2550}, {50, 2000}, {45, 1550},
    {40, 1100},   {35, 800},  {30, 500},  {25, 350},  {20, 200},  {15, 150},
    {10, 100},    {5, 70},    {3, 40},    {2, 20},    {1, 10},    {0, 0},
};

const MctestRow MctestTable[MCTEST_ROWS] = {
    {"TEST_MODE_ON", 5},
    {"TEST_MODE_OFF", 10},
    {"HARDWARE_WDG_ON", 21},
    {"HARDWARE_WDG_OFF", 26},
    {"READ_DRIVER_VOLT", 32},
    {"READ_TEMP_SRM", 33},
    {"READ_ZK_VOLT", 34},
    {"READ_SENSOR_POSITION", 35},
    {"READ_DI_STATUS", 36},
    {"RESET_DI", 47},
    {"SWITCH_ON_PHASE_ONE", 53},
    {"SWITCH_OFF_PHASE_ONE", 58},
    {"SWITCH_ON_PHASE_TWO", 69},
    {"SWITCH_OFF_PHASE_TWO", 74},
    {"SWITCH_ON_PHASE_THREE", 85},
    {"SWITCH_OFF_PHASE_THREE", 90},
    {"SWITCH_ON_PHASE_FOUR", 101},
    {"SWITCH_OFF_PHASE_FOUR", 106},
    {"SWITCH_OFF_SET_CURR", 112},
    {"SWITCH_ON_1A_SET_CURR", 115},
    {"SWITCH_ON_3A7_SET_CURR", 117},
    {"SWITCH_ON_5A_SET_CURR", 118},
    {"SWITCH_ON_HEATER", 133},
    {"SWITCH_OFF_HEATER", 138},
    {"CLOSE_BOWL_WITHOUT_AUTO_OPEN", 170},
};

// The row of a GUI speed, or -1.
static int guiSpeedRow(int32_t key)
{
    for (int row = 0; row < GUI_SPEED_ROWS; row++)
        if (GuiSpeedTable[row].key == key)
            return row;
    return -1;
}

uint16_t guiSpeedToMotorSpeed(int32_t key)
{
    int row = guiSpeedRow(key);
    return row < 0 ? 0xFFFF : GuiSpeedTable[row].value;
}

int8_t guiSpeedSteps(int32_t current, int32_t target)
{
    int from = guiSpeedRow(current);
    int to = guiSpeedRow(target);
    if (from < 0 || to < 0 || current == 1 || current == 2 || target == 1 || target == 2)
        return 127;
    if (current == 0)
        to += 2;
    return int8_t(from - to);
}

// The name in the row of `code`, or the invalid-code text formatted into
// the caller's buffer (never a shared one: callers run in several threads).
template <typename Row, size_t Rows>
static const char *nameOfCode(const Row (&rows)[Rows], int32_t code, const char *invalid, char *buffer,
                              size_t size)
{
    for (const Row &row : rows)
        if (row.code == code)
            return row.name;
    snprintf(buffer, size, invalid, code);
    return buffer;
}

const char *machineErrorName(int32_t code, char *buffer, size_t size)
{
    return nameOfCode(enErr, code, "INVALID_ERRORCODE[%i]", buffer, size);
}

const char *mctestCommandName(int32_t code, char *buffer, size_t size)
{
    return nameOfCode(MctestTable, code, "INVALID_MCTEST_COMMAND[%i]", buffer, size);
}

bool mctestCommandCode(const char *name, int32_t *code)
{
    if (!name)
        return false;
    for (const MctestRow &row : MctestTable) {
        if (strncmp(row.name, name, MACHINE_NAME_SIZE) == 0) {
            *code = row.code;
            return true;
        }
    }
    return false;
}
