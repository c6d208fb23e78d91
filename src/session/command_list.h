// The command table's rows, shared by the daemon and the client so that both
// speak the same protocol: X(index, name, level, transfer type, file, handler).
//
// The daemon expands the list with its handlers (session/daemon_commands.cpp);
// the client expands it without them.
#pragma once

// Where the service logs live on the appliance (under MIF_ROOT in simulation).
#define MIF_TECH_BOX "/mnt/rwfs/data/tech_box/"

#define MIF_COMMAND_LIST(X)                                                                  \
    X(0, CMD_ERROR, 0, 0, "", cmdHandler_CmdError)                                           \
    X(1, MCH_CHAP, 0, 0, "", checkChallenge)                                                 \
    X(2, SVC_GET_BB, 1, 2, MIF_TECH_BOX "OperationalData.log", cmdHandler_SendFileCmd)       \
    X(3, SVC_GET_EVENTS, 1, 2, MIF_TECH_BOX "Events.log", cmdHandler_SendFileCmd)            \
    X(4, SVC_GET_ERRORS, 1, 2, MIF_TECH_BOX "ErrorEvents.log", cmdHandler_SendFileCmd)       \
    X(5, SVC_GET_EVENTLIST, 1, 2, MIF_TECH_BOX "EventList.log", cmdHandler_SendFileCmd)      \
    X(6, SVC_GET_REPAEVENTS, 1, 2, MIF_TECH_BOX "RepaEvents.log", cmdHandler_SendFileCmd)    \
    X(7, SVC_GET_MATRIX, 1, 2, MIF_TECH_BOX "Matrix.log", cmdHandler_SendFileCmd)            \
    X(8, SVC_SET_REPASTART, 1, 0, "", cmdHandler_SVCSetRepaStart)                            \
    X(9, SVC_SET_REPAEND, 1, 0, "", cmdHandler_SVCSetRepaEnd)                                \
    X(10, SVC_SET_BB, 1, 1, MIF_TECH_BOX "OperationalData.log", cmdHandler_RecvFileCmd)      \
    X(11, SVC_SET_EVENTS, 1, 1, MIF_TECH_BOX "Events.log", cmdHandler_RecvFileCmd)           \
    X(12, SVC_SET_ERRORS, 1, 1, MIF_TECH_BOX "ErrorEvents.log", cmdHandler_RecvFileCmd)      \
    X(13, SVC_SET_EVENTLIST, 1, 1, MIF_TECH_BOX "EventList.log", cmdHandler_RecvFileCmd)     \
    X(14, SVC_SET_REPAEVENTS, 1, 1, MIF_TECH_BOX "RepaEvents.log", cmdHandler_RecvFileCmd)   \
    X(15, SVC_SET_MATRIX, 1, 1, MIF_TECH_BOX "Matrix.log", cmdHandler_RecvFileCmd)           \
    X(16, MCH_ENABLE_BB, 1, 0, "", cmdHandler_MCHEnableBB)                                   \
    X(17, MCH_GET_WEIGHT, 1, 0, "", cmdHandler_MCHGetWeight)                                 \
    X(18, MCH_GET_TARA, 1, 0, "", cmdHandler_MCHGetTara)                                     \
    X(19, MCH_SET_TARA, 1, 0, "", cmdHandler_MCHSetTara)                                     \
    X(20, MCH_GET_CALDATA, 1, 0, "", cmdHandler_MCHGetCalData)                               \
    X(21, MCH_SET_CALDATA, 1, 0, "", cmdHandler_MCHSetCalData)                               \
    X(22, MCH_GET_SERIAL, 1, 0, "", cmdHandler_MCHGetSerial)                                 \
    X(23, MCH_SET_SERIAL, 1, 0, "", cmdHandler_MCHSetSerial)                                 \
    X(24, MCH_FA_OK, 1, 0, "", cmdHandler_MCHFaOk)                                           \
    X(25, MCH_PWRDOWN, 5, 0, "", cmdHandler_MCHPwrDown)                                      \
    X(26, MCH_SHUTDOWN, 5, 0, "", cmdHandler_MCHShutdown)                                    \
    X(27, MCH_RESET_MC, 5, 0, "", cmdHandler_MCHResetMC)                                     \
    X(28, MCH_LOCK_LID, 5, 0, "", cmdHandler_MCHLockLid)                                     \
    X(29, MCH_SWITCH_RELAYS, 5, 0, "", cmdHandler_MCHSwitchRelays)                           \
    X(30, MCH_SET_SPEED, 5, 0, "", cmdHandler_MCHSetSpeed)                                   \
    X(31, MCH_SET_MOTMODE, 5, 0, "", cmdHandler_MCHSetMotMode)                               \
    X(32, MCH_SET_MOTROTDIR, 5, 0, "", cmdHandler_MCHSetMotRotDir)                           \
    X(33, MCH_SET_TIME, 5, 0, "", cmdHandler_MCHSetTime)                                     \
    X(34, MCH_SET_TEMP, 5, 0, "", cmdHandler_MCHSetTemp)                                     \
    X(35, MCH_SET_HEATING, 5, 0, "", cmdHandler_MCHSetHeating)                               \
    X(36, MCH_SET_MCPARAMS, 5, 0, "", cmdHandler_MCHSetMcParams)                             \
    X(37, MCH_AMBI_LIGHT, 5, 0, "", cmdHandler_MCHAmbiLight)                                 \
    X(38, MCH_PRINT_TXT, 5, 0, "", cmdHandler_MCHPrintTxt)                                   \
    X(39, MCH_DISPLAY_IMG, 5, 1, "/dev/fb", cmdHandler_MCHDisplayImg)                        \
    X(40, MCH_PLAY_SND, 5, 1, "/dev/dsp", cmdHandler_MCHPlaySnd)                             \
    X(41, MCH_TEST_EVENT, 5, 0, "", cmdHandler_MCHTestEvent)                                 \
    X(42, MCH_GET_SYSTIME, 5, 0, "", cmdHandler_MCHGetSysTime)                               \
    X(43, MCH_GET_STATE, 5, 0, "", cmdHandler_MCHGetState)                                   \
    X(44, MCH_SET_IPADDR, 5, 1, "/mnt/rwfs/data/system_config/qxip", cmdHandler_RecvFileCmd) \
    X(45, MCH_INSTALL_DATA, 5, 1, "/tmp/partdata.tar.gz", cmdHandler_MCHInstallData)         \
    X(46, MCH_RECOVR_ERRSTAT, 5, 0, "", cmdHandler_MCHRecovrErrStat)                         \
    X(47, MCH_HEAT_CTRL, 5, 0, "", cmdHandler_MCHHeatCtrl)                                   \
    X(48, MCH_MCTEST_CMD, 5, 0, "", cmdHandler_MCHMctestCmd)                                 \
    X(49, MCH_SET_TRANSP, 5, 0, "", cmdHandler_MCHSetTransp)                                 \
    X(50, MCH_MILLIS_TRANSP, 5, 0, "", cmdHandler_MCHMillisTransp)                           \
    X(51, MCH_NO_GUI_SWITCH, 5, 0, "", cmdHandler_MCHNoGuiSwitch)                            \
    X(52, MCH_SET_TIME_AND_DATE, 1, 0, "", cmdHandler_MCHSetTimeAndDate)

// The command indices by name, for code that sends or checks one command.
enum CommandIndex {
#define MIF_COMMAND_ENUM(index, name, level, type, file, handler) name = index,
    MIF_COMMAND_LIST(MIF_COMMAND_ENUM)
#undef MIF_COMMAND_ENUM
};

// The answer a file request gets first when a log line's time is not a
// number ("NAK: No data to send" follows); the client tells it apart from a
// final answer by this text.
#define MIF_NAK_INVALID_OFFSET "NAK: Invalid offset time spec"
