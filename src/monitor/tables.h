// Constant tables of the machine: error names, the GUI speed steps and the
// test-mode commands, with their lookups.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MACHINE_NAME_SIZE = 48 };

// Machine error codes and their names, in table order: X(code, name).
// Codes 15, 16, 29 and 33 have no row.
#define MIF_ENERR_LIST(X)                                                         \
    X(0, enErr_NoError) X(1, enErr_SetSpeedtoZero) X(2, enErr_NoCoverDetected)    \
    X(3, enErr_TooHotForTurbo) X(4, enErr_TooHotForDough) X(5, enErr_SetTimerFirst) \
    X(6, enErr_HeatingForbidden) X(7, enErr_TooSlowForTurbo) X(8, enErr_MotorStopped) \
    X(9, enErr_RotationChangeForbidden) X(10, enErr_RotaryModeChangeForbidden)    \
    X(11, enErr_MotorFunctionChangeForbidden) X(12, enErr_NoRecipeStepSet)        \
    X(13, enErr_RecipeAbortedByUser) X(14, enErr_RecipeAbortedByMCL)              \
    X(17, enErr_DoAutomaticShutdown) X(18, enErr_DoManualShutdown)                \
    X(19, enErr_SystemError) X(20, enErr_CleanContacts) X(21, enErr_MotorOverloaded) \
    X(22, enErr_MotorTooHot) X(23, enErr_BowlNotPresent) X(24, enErr_LidError)    \
    X(25, enErr_LidRollersError) X(26, enErr_UnexpectedShutdown)                  \
    X(27, enErr_CallSupport) X(28, enErr_BalanceError)                            \
    X(30, enErr_LidSensorBlockedError) X(31, enErr_InterlockContactOpen)          \
    X(32, enErr_HeatingNotAllowed) X(34, enErr_LidSensorBlockedPermanentlyError)  \
    X(35, enErr_BowlTooHotToOperateError) X(36, enErr_BowlTooHotToOperateErrorResume) \
    X(200, enErr_Gui)

enum MachineError : int32_t {
#define MIF_ENERR_ENUM(code, name) name = code,
    MIF_ENERR_LIST(MIF_ENERR_ENUM)
#undef MIF_ENERR_ENUM
};

struct MachineErrorRow {
    int32_t code;
    char name[MACHINE_NAME_SIZE];
};
enum { ENERR_ROWS = 34 };
extern const MachineErrorRow enErr[ENERR_ROWS];

// GUI speeds in tenths and the motor speed each stands for, fastest first.
struct GuiSpeedRow {
    int32_t key;
    uint16_t value;
};
enum { GUI_SPEED_ROWS = 24 };
extern const GuiSpeedRow GuiSpeedTable[GUI_SPEED_ROWS];

// Machine control's test-mode commands.
struct MctestRow {
    char name[MACHINE_NAME_SIZE];
    int32_t code;
};
enum { MCTEST_ROWS = 25 };
extern const MctestRow MctestTable[MCTEST_ROWS];

// The motor speed of a GUI speed; 0xFFFF when the key has no row.
uint16_t guiSpeedToMotorSpeed(int32_t key);

// Knob steps from the current to the target GUI speed, positive towards
// higher speeds. 127 when either key is 1, 2 or has no row. From 0 the
// first step up reaches 3: the rows of 1 and 2 are skipped. The target is
// never 0 (a caller stops the motor itself).
int8_t guiSpeedSteps(int32_t current, int32_t target);

// The name of a machine error code, or "INVALID_ERRORCODE[code]" formatted
// into the caller's `buffer` (MACHINE_NAME_SIZE bytes are always enough).
const char *machineErrorName(int32_t code, char *buffer, size_t size);

// The name of a test-mode command code, or "INVALID_MCTEST_COMMAND[code]"
// formatted into the caller's `buffer`.
const char *mctestCommandName(int32_t code, char *buffer, size_t size);

// The code of a test-mode command name (exact, case-sensitive, first row
// that matches). False when no row has that name.
bool mctestCommandCode(const char *name, int32_t *code);
