// The numbers both ends of the machine-control link agree on: peers, request
// codes, event ids and topics. Shared by the daemon and the simulated
// appliance, so that both sides read one table.
#pragma once

#include <cstdint>

// Messaging identities.
#define MIF_PROCESS_NAME "Mif"
#define MCL_PROCESS_NAME "Mcl"
#define SUPERVISOR_PROCESS_NAME "SvDaemon"
#define LOGGER_PROCESS_NAME "LoggerD"
#define NETLINK_PROCESS_NAME "NetLinkD"

enum { MIF_PROCESS_ID = 5 };

enum { REPLY_TIMEOUT_MS = 1000, SUPERVISOR_PUSH_TIMEOUT_MS = 5000, LOG_PUSH_TIMEOUT_MS = 500 };

// Event topics: machine control publishes on 0 and 1, the supervisor's start
// event comes on topic 5 (the daemon's own id), the logger's on 9.
enum : uint16_t { MCL_TOPIC_0 = 0, MCL_TOPIC_1 = 1, SUPERVISOR_TOPIC = 5, LOGGER_TOPIC = 9 };

// Supervisor handshake pushes and the start event's id bit.
enum : uint32_t { SUPERVISOR_READY = 1, SUPERVISOR_START = 2, SUPERVISOR_START_EVENT_BIT = 16 };

// Requests to peers other than machine control.
enum : uint32_t {
    LOGGER_LEVEL_QUERY = 0,          // LoggerD: reply payload word 0 is the threshold
    SUPERVISOR_SHUTDOWN_REQUEST = 7, // SvDaemon: payload u32 2
    NETLINK_NO_GUI_SWITCH = 10,      // NetLinkD: no payload
};
enum : uint32_t { SUPERVISOR_SHUTDOWN_VALUE = 2 };
enum : uint32_t { LOGGER_EVENT_THRESHOLD = 5 };

// Machine control's request codes for the daemon's own requests.
enum RemoteIfCode : uint32_t {
    RIF_SET_REMOTE_IF_ACTIVE = 17,
    RIF_GET_REMOTE_IF_ACTIVE = 18,
    RIF_GET_PRIMARY_MOTOR_DATA = 19,
    RIF_REQUEST_SECONDARY_MOTOR_DATA = 20,
    RIF_ACTIVATE_BLACKBOX_LOGGING = 21,
    RIF_GET_SYS_TIME = 23,
    RIF_GET_VERSION = 25,
    RIF_GET_BACKEND_SERIAL = 26,
    RIF_GET_BACKEND_ARTICLE = 27,
    RIF_GET_MOTOR_VALUE_FT = 28,
    RIF_GET_MOTOR_VALUE_TS = 29,
    RIF_ACTIVATE_REMOTE_HEATING_CONTROL = 30,
    RIF_GET_BALANCE_CALIBRATION = 31,
    RIF_SET_BALANCE_CALIBRATION = 32,
    RIF_GET_BALANCE_TARA = 33,
    RIF_SET_BALANCE_TARA = 34,
    RIF_SET_HEATING = 36,
    RIF_HANDLE_BOWL = 37,
    RIF_HANDLE_POWER_RELAY = 38,
    RIF_SET_SPEED = 39,
    RIF_RESET_MC = 40,
    RIF_POWER_OFF = 41,
    RIF_RESET_POWER_RELAY_LOCK = 42,
    RIF_RESET_COVER_SWITCH_LOCK = 43,
    RIF_SEND_TEST_MODE_COMMAND = 44,
    RIF_SET_AMBILIGHT_PWM = 45,
    RIF_SET_WARM_START = 49,
    RIF_SET_TRANSPORT_TIME = 50,
};

// The GUI's request codes, which the daemon sends to machine control as the
// GUI would.
enum GuiIfCode : uint32_t {
    GUI_SET_TIME = 0,
    GUI_SET_TURBO_TIME = 1,
    GUI_SET_TEMPERATURE = 2,
    GUI_SET_SNAP_SPEED = 3,
    GUI_REPORT_USER_ACTIVITY = 4,
    GUI_REPORT_GUI_STATUS = 5,
    GUI_REQUEST_AUTOMATED_RECIPE = 6,
    GUI_POPUP_ACKNOWLEDGED = 7,
    GUI_REQUEST_ROTATION = 8,
    GUI_REQUEST_MOTOR_FUNCTION = 9,
    GUI_REQUEST_ROTARY_MODE = 10,
    GUI_ENABLE_BALANCE = 12,
    GUI_DISABLE_BALANCE = 13,
    GUI_RESET_BALANCE = 14,
    GUI_SET_REMOTE_COMMANDS = 15,
};

// Knob commands of GUI_SET_REMOTE_COMMANDS and the rotary modes.
enum : uint16_t { KNOB_STEP_UP = 0x3001, KNOB_STEP_DOWN = 0x2001 };
enum : int32_t { ROTARY_MODE_SET_SPEED = 2, ROTARY_MODE_NORMAL = 5 };
// Motor functions of GUI_REQUEST_MOTOR_FUNCTION.
enum : int32_t { MOTOR_NORMAL = 0, MOTOR_TURBO = 1, MOTOR_DOUGH = 3, MOTOR_MACRO = 5, MOTOR_TRANSPORT = 7 };

// Machine control's event ids (topics 0 and 1); payloads begin at byte 8 of
// the event message.
enum MclEventId : uint32_t {
    MCL_EV_CURRENT_TEMPERATURE = 2,
    MCL_EV_SPEED_CHANGED = 5,
    MCL_EV_SPEED_CHANGED_2 = 6,
    MCL_EV_ROTATION_DIRECTION = 7,
    MCL_EV_MOTOR_MODE = 8,
    MCL_EV_MOTOR_MODE_2 = 9,
    MCL_EV_SCALE_WEIGHT = 10,
    MCL_EV_ERROR_AND_WARNING = 11,
    MCL_EV_TIME_CHANGED = 13,
    MCL_EV_TIME_CHANGED_2 = 14,
    MCL_EV_SPEED_STATUS = 15,
    MCL_EV_REMOTE_EVENT = 18,      // lid, bowl and transport events
    MCL_EV_ERROR_EVENT = 19,
    MCL_EV_SCALE_AD_VALUE = 20,
    MCL_EV_PRIMARY_MOTOR_DATA = 21,
    MCL_EV_SECONDARY_MOTOR_DATA = 22,
    MCL_EV_TEST_MODE_DATA = 23,
    MCL_EV_HEATING_CONTROL = 24,
};

// Codes of MCL_EV_REMOTE_EVENT that concern the bowl, the transport lock and
// the lid locks.
enum : uint8_t {
    RE_BOWL_OPEN = 49,
    RE_BOWL_CLOSE = 50,
    RE_TRANSPORT_ON = 54,
    RE_TRANSPORT_OFF = 55,
    RE_LEFT_CLOSE = 64,
    RE_RIGHT_CLOSE = 65,
    RE_LID_CLOSE = 66,
    RE_LEFT_OPEN = 67,
    RE_RIGHT_OPEN = 68,
    RE_LID_OPEN = 69,
};
