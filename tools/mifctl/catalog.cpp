// The command and alias tables, and the help built from them.
#include "catalog.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "session/command_list.h"

#define MIFCTL_COMMAND_ROW(index, name, level, type, file, handler) {index, #name, level, type, file},

const CommandRow kCommandRows[CATALOG_COMMAND_COUNT] = {MIF_COMMAND_LIST(MIFCTL_COMMAND_ROW)};

#undef MIFCTL_COMMAND_ROW

static_assert(sizeof kCommandRows / sizeof kCommandRows[0] == CATALOG_COMMAND_COUNT,
              "the client knows every command index");

const CommandRow *findCommandByName(const std::string &name)
{
    for (const CommandRow &row : kCommandRows)
        if (name == row.name)
            return &row;
    return nullptr;
}

const CommandRow *findCommandByIndex(int32_t index)
{
    if (index < 0 || index >= CATALOG_COMMAND_COUNT)
        return nullptr;
    return &kCommandRows[index];
}

// ------------------------------------------------------------------- words

static const WordMap kOnOff[] = {{"on", "ON"}, {"off", "OFF"}};
static const WordMap kLidWords[] = {{"close", "CLOSE"}, {"open", "OPEN"}, {"lock", "CLOSE"}, {"unlock", "OPEN"}};
static const WordMap kRelayWords[] = {{"close", "CLOSE"}, {"open", "OPEN"}, {"on", "CLOSE"}, {"off", "OPEN"}};
static const WordMap kMotorModes[] = {{"normal", "NORMAL"}, {"turbo", "TURBO"}, {"dough", "DOUGH"}, {"macro", "MACRO"}};
static const WordMap kDirections[] = {{"regular", "REGULAR"}, {"reverse", "REVERSE"}};
static const WordMap kSpeedWords[] = {{"soft", "SOFT"}, {"stop", "0.0"}};
static const WordMap kTimerWords[] = {{"turbo", "TURBO"}};
static const WordMap kCaldataWords[] = {{"clear", "CLEAR"}};
static const WordMap kFaOkWords[] = {{"status", "STATUS"}};
static const WordMap kSerialWords[] = {{"pedeu", "PEDEU"}, {"feean", "FEEAN"}};
static const WordMap kTestCommands[] = {
    {"test_mode_on", "TEST_MODE_ON"},
    {"test_mode_off", "TEST_MODE_OFF"},
    {"hardware_wdg_on", "HARDWARE_WDG_ON"},
    {"hardware_wdg_off", "HARDWARE_WDG_OFF"},
    {"read_driver_volt", "READ_DRIVER_VOLT"},
    {"read_temp_srm", "READ_TEMP_SRM"},
    {"read_zk_volt", "READ_ZK_VOLT"},
    {"read_sensor_position", "READ_SENSOR_POSITION"},
    {"read_di_status", "READ_DI_STATUS"},
    {"reset_di", "RESET_DI"},
    {"switch_on_phase_one", "SWITCH_ON_PHASE_ONE"},
    {"switch_off_phase_one", "SWITCH_OFF_PHASE_ONE"},
    {"switch_on_phase_two", "SWITCH_ON_PHASE_TWO"},
    {"switch_off_phase_two", "SWITCH_OFF_PHASE_TWO"},
    {"switch_on_phase_three", "SWITCH_ON_PHASE_THREE"},
    {"switch_off_phase_three", "SWITCH_OFF_PHASE_THREE"},
    {"switch_on_phase_four", "SWITCH_ON_PHASE_FOUR"},
    {"switch_off_phase_four", "SWITCH_OFF_PHASE_FOUR"},
    {"switch_off_set_curr", "SWITCH_OFF_SET_CURR"},
    {"switch_on_1a_set_curr", "SWITCH_ON_1A_SET_CURR"},
    {"switch_on_3a7_set_curr", "SWITCH_ON_3A7_SET_CURR"},
    {"switch_on_5a_set_curr", "SWITCH_ON_5A_SET_CURR"},
    {"switch_on_heater", "SWITCH_ON_HEATER"},
    {"switch_off_heater", "SWITCH_OFF_HEATER"},
    {"close_bowl_without_auto_open", "CLOSE_BOWL_WITHOUT_AUTO_OPEN"},
};

#define WORDS(list) list, int(sizeof list / sizeof list[0])
#define NO_WORDS nullptr, 0

// ------------------------------------------------------------------ aliases

// Column order: alias, command, kind, synopsis, summary, details,
// minArgs, maxArgs, separator, wordsOnly, words, default payload.
const AliasRow kAliasRows[] = {
    // Service logs and repair records
    {"get-log", nullptr, ALIAS_GET_LOG, "NAME [--rotated N] [-o FILE]",
     "download a service log",
     "Writes the log into a file named after it (Events.log, or Events.log.N with\n"
     "--rotated N) in the current directory; -o FILE names another file, -o - writes\n"
     "to standard output. A service-level client gets only the last 6,000 s of\n"
     "OperationalData.log and Events.log. Answers \"NAK: No data to send\" when the\n"
     "log is missing or empty.",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"set-log", nullptr, ALIAS_SET_LOG, "NAME FILE [--index N]",
     "replace a service log with a local file",
     "Uploads FILE byte for byte as the log. --index N (1-999) replaces the rotated\n"
     "copy N instead (bb, events, errors and repaevents only). Answers \"ACK\" or\n"
     "\"NAK: Error receiving data!\".",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"repair-start", "SVC_SET_REPASTART", ALIAS_TEXT, "[TEXT...]",
     "mark a repair's start in the black box",
     "Writes a black-box record \"RS\" with TEXT. Answers \"ACK\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"repair-end", "SVC_SET_REPAEND", ALIAS_TEXT, "[TEXT...]", "mark a repair's end in the black box",
     "Writes a black-box record \"RE\" with TEXT. Answers \"ACK\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"enable-bb", "MCH_ENABLE_BB", ALIAS_PLAIN, "on|off", "switch machine control's black box",
     "Sends ON or OFF. Answers \"ACK\".", 1, 1, 0, true, WORDS(kOnOff), nullptr},

    // Scale
    {"weight", "MCH_GET_WEIGHT", ALIAS_WEIGHT, "[--json]", "read the scale: weight and raw AD value",
     "Answers \"WEIGHT,AD\" (grams and the raw AD value), or \"NAK: Scale sent no\n"
     "data\" before the scale reported. --json prints {\"weight_g\": W, \"ad\": AD}.", 0, 0, 0, false,
     NO_WORDS, nullptr},
    {"get-tara", "MCH_GET_TARA", ALIAS_PLAIN, "", "read the scale's tare value", "Answers the tare value.", 0, 0,
     0, false, NO_WORDS, nullptr},
    {"set-tara", "MCH_SET_TARA", ALIAS_PLAIN, "[VALUE]", "set the tare, or reset the scale",
     "With a signed VALUE sets the tare to it; without resets the scale. Answers \"ACK\".", 0, 1, 0, false,
     NO_WORDS, nullptr},
    {"get-caldata", "MCH_GET_CALDATA", ALIAS_PLAIN, "", "read the scale calibration table",
     "Answers the pairs \"GRAMS,AD;...\", or \"NAK: no caldata found\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"set-caldata", "MCH_SET_CALDATA", ALIAS_PLAIN, "clear | GRAMS [AD]", "add a calibration point, or clear all",
     "GRAMS with an AD value, or with the scale's current AD reading when AD is\n"
     "left out, is added to the table, stored and sent to machine control (at\n"
     "least two points are needed: \"NAK: Failed to calibrate scale\" otherwise).\n"
     "After that NAK mifctl reads the table back and says whether the point was\n"
     "stored (the table's first point, exit 0) or refused (table unchanged, exit 1).\n"
     "GRAMS takes no sign. clear empties the table in memory only: scali.dat and\n"
     "machine control keep the old calibration until the first new point.",
     1, 2, ',', false, WORDS(kCaldataWords), nullptr},

    // Identity
    {"serial", "MCH_GET_SERIAL", ALIAS_SERIAL, "[--json]", "show serial numbers and versions",
     "Prints the appliance serial (QX), the OTP values (FE, FEAN), the backend\n"
     "serial and versions and the data-package version as labelled fields, or as\n"
     "one JSON object with --json.",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"set-serial", "MCH_SET_SERIAL", ALIAS_PLAIN, "[pedeu|feean] NUMBER", "write the serial number or an OTP value",
     "NUMBER alone writes the appliance serial (17 digits at most, with a valid check\n"
     "digit; a service-level client only while none is set). pedeu NUMBER or feean\n"
     "NUMBER burns OTP value A or B, once for the life of the appliance.",
     1, 2, ':', false, WORDS(kSerialWords), nullptr},

    // Power, errors and the clock
    {"fa-ok", "MCH_FA_OK", ALIAS_PLAIN, "[72|150|status]", "reset a permanent error, or show them",
     "Without an argument resets error 72. status answers \"72;150\", \"72\", \"150\"\n"
     "or \"NOTSET\".",
     0, 1, 0, false, WORDS(kFaOkWords), nullptr},
    {"power-down", "MCH_PWRDOWN", ALIAS_PLAIN, "[MS]", "power the machine down after MS ms",
     "MS is at most 65535; 0 when left out.", 0, 1, 0, false, NO_WORDS, "0"},
    {"shutdown", "MCH_SHUTDOWN", ALIAS_PLAIN, "[MS]", "shut the appliance software down",
     "Answers \"ACK\" and the daemon ends once this session has ended. MS (at most\n"
     "65535) is checked but not used; 0 when left out.",
     0, 1, 0, false, NO_WORDS, "0"},
    {"reset-mc", "MCH_RESET_MC", ALIAS_PLAIN, "", "reset machine control", "Answers \"ACK\" or \"NAK: Unsuccessful\".",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"recover-error", "MCH_RECOVR_ERRSTAT", ALIAS_PLAIN, "", "acknowledge the GUI's error pop-up",
     "Passes the pending machine error (if it is one the GUI shows) to the GUI as\n"
     "acknowledged. Answers \"ACK\".",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"mctest", "MCH_MCTEST_CMD", ALIAS_PLAIN, "NAME|CODE", "send a test-mode command",
     "NAME is one of TEST_MODE_ON, SWITCH_ON_HEATER, ... (any case; `mifctl help\n"
     "mctest` lists them), CODE a number. Results arrive in the state log as TR\n"
     "records. Answers \"ACK\".",
     1, 1, 0, false, WORDS(kTestCommands), nullptr},
    {"no-gui", "MCH_NO_GUI_SWITCH", ALIAS_PLAIN, "", "start the network daemon without GUI",
     "Answers \"ACK\" or \"NAK: Unsuccessful\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"set-clock", "MCH_SET_TIME_AND_DATE", ALIAS_CLOCK, "dd.mm.yyyy-hh:mm:ss|now", "set the appliance's clock",
     "Local date and time, or now for this computer's local time.", 0, 0, 0, false, NO_WORDS, nullptr},
    {"systime", "MCH_GET_SYSTIME", ALIAS_PLAIN, "", "read machine control's clock (ms)",
     "Answers the time in milliseconds, \"0\" when machine control does not answer.", 0, 0, 0, false, NO_WORDS,
     nullptr},

    // Motor
    {"set-speed", "MCH_SET_SPEED", ALIAS_SPEED, "SPEED|soft|stop | A B C D", "set the motor speed as the knob would",
     "SPEED as the display shows it: 0 to 10 in steps of 0.5 (10.0, 5.5, 3, 0.5),\n"
     "soft, or stop (the same as 0); waits up to 10 s for machine control. mifctl\n"
     "sends the daemon's form with one decimal (3 goes as 3.0, stop as 0.0). Four\n"
     "numbers A B C D (A at most 255, the others at most 65535) are sent as the\n"
     "raw speed form A,B,C,D.",
     1, 4, ',', false, WORDS(kSpeedWords), nullptr},
    {"set-motor-mode", "MCH_SET_MOTMODE", ALIAS_PLAIN, "normal|turbo|dough|macro", "set the motor mode", "", 1, 1, 0,
     true, WORDS(kMotorModes), nullptr},
    {"set-direction", "MCH_SET_MOTROTDIR", ALIAS_PLAIN, "regular|reverse", "set the bowl's rotation direction", "",
     1, 1, 0, true, WORDS(kDirections), nullptr},
    {"set-timer", "MCH_SET_TIME", ALIAS_PLAIN, "SECONDS | turbo MS", "set the timer, or the turbo time",
     "SECONDS sets the timer; turbo MS the turbo time in milliseconds.", 1, 2, ':', false, WORDS(kTimerWords),
     nullptr},

    // Actuators
    {"lock-lid", "MCH_LOCK_LID", ALIAS_PLAIN, "close|open", "lock (close) or unlock (open) the lid",
     "lock and unlock are accepted too. Answers \"ACK\" or \"NAK: Unsuccesful\".", 1, 1, 0, true,
     WORDS(kLidWords), nullptr},
    {"relays", "MCH_SWITCH_RELAYS", ALIAS_PLAIN, "close|open", "close or open the power relays",
     "on and off are accepted too. Answers \"ACK\" or \"NAK: Unsuccesful\".", 1, 1, 0, true, WORDS(kRelayWords),
     nullptr},
    {"set-temp", "MCH_SET_TEMP", ALIAS_PLAIN, "VALUE", "set the target temperature",
     "A signed number in machine control's units.", 1, 1, 0, false, NO_WORDS, nullptr},
    {"set-heating", "MCH_SET_HEATING", ALIAS_PLAIN, "on|off", "switch the heater",
     "Answers \"ACK\" or \"NAK: Unsuccessful\".", 1, 1, 0, true, WORDS(kOnOff), nullptr},
    {"heat-ctrl", "MCH_HEAT_CTRL", ALIAS_PLAIN, "on|off", "switch remote heating control", "Answers \"ACK\".", 1, 1,
     0, true, WORDS(kOnOff), nullptr},
    {"all-off", "MCH_SET_SPEED", ALIAS_ALL_OFF, "", "stop the motor and switch the heater off",
     "Sends, each even when one before was refused: the raw speed stop 0,0,0,0\n"
     "(the motor stops at once), the speed 0.0 (the knob follows), set-heating off\n"
     "and heat-ctrl off, and prints each answer.",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"ambi-light", "MCH_AMBI_LIGHT", ALIAS_PLAIN, "GREEN RED", "set the ambient light (percent)",
     "Sent as GREEN,RED.", 1, 2, ',', false, NO_WORDS, nullptr},
    {"set-transport", "MCH_SET_TRANSP", ALIAS_PLAIN, "on|off", "switch the transport lock",
     "Waits up to 10 s for the bowl to report; answers \"ACK\" or a NAK naming the\n"
     "bowl state found.",
     1, 1, 0, true, WORDS(kOnOff), nullptr},
    {"transport-time", "MCH_MILLIS_TRANSP", ALIAS_PLAIN, "MS", "set the transport time (ms)", "", 1, 1,
     0, false, NO_WORDS, nullptr},
    {"set-mcparams", "MCH_SET_MCPARAMS", ALIAS_PLAIN, "[ARG]", "machine-control parameters (unused)",
     "The daemon answers \"NAK: Command not implemented\".", 0, 1, 0, false, NO_WORDS, nullptr},

    // Display, sound, text, events
    {"display-img", "MCH_DISPLAY_IMG", ALIAS_IMAGE, "FILE [--scale]", "show a picture on the display",
     "FILE is a PNG of 480x272 pixels (--scale fits any other size, keeping its\n"
     "proportions) or a raw image of exactly 522,240 bytes (480x272, 4 bytes per\n"
     "pixel in the order blue, green, red, unused).",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"play-snd", "MCH_PLAY_SND", ALIAS_SOUND, "FILE", "play a sound",
     "FILE is a WAV file of 48 kHz mono signed 16-bit samples, or raw PCM in that\n"
     "form (little-endian).",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"print-txt", "MCH_PRINT_TXT", ALIAS_TEXT, "[TEXT...]", "print a line on the appliance's console",
     "Answers \"ACK\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"test-event", "MCH_TEST_EVENT", ALIAS_TEXT, "[TEXT...]", "write a test event to the black box",
     "Writes a black-box record \"TE\" with TEXT. Answers \"ACK\".", 0, 0, 0, false, NO_WORDS, nullptr},
    {"state", "MCH_GET_STATE", ALIAS_STATE, "[--raw|--json] [--follow [--interval MS]]",
     "fetch the machine-state log, decoded",
     "Fetching empties the daemon's log. --raw prints the payload as received,\n"
     "--json one JSON object per record. --follow keeps fetching every MS\n"
     "milliseconds (default 1000) until interrupted.",
     0, 0, 0, false, NO_WORDS, nullptr},

    // Network and data
    {"set-ipaddr", "MCH_SET_IPADDR", ALIAS_IPADDR, "ADDR", "store the address the appliance shows",
     "ADDR is an IPv4 address in dotted form; it is written to the appliance's\n"
     "address file.",
     0, 0, 0, false, NO_WORDS, nullptr},
    {"install-data", "MCH_INSTALL_DATA", ALIAS_PACKAGE, "PACKAGE [--sig SIGFILE]", "install a signed data package",
     "Sends the 256-byte signature SIGFILE (PACKAGE.sig when --sig is left out)\n"
     "and then PACKAGE (a gzip-compressed tar archive, at most 64 MiB with its\n"
     "signature). The appliance checks and unpacks it before it answers \"ACK\" or\n"
     "\"NAK: Unsuccessful\".",
     0, 0, 0, false, NO_WORDS, nullptr},
};

const int kAliasRowCount = int(sizeof kAliasRows / sizeof kAliasRows[0]);

#undef WORDS
#undef NO_WORDS

const AliasRow *findAlias(const std::string &alias)
{
    for (const AliasRow &row : kAliasRows)
        if (strcasecmp(alias.c_str(), row.alias) == 0)
            return &row;
    return nullptr;
}

const AliasRow *aliasForCommand(const CommandRow &command)
{
    for (const AliasRow &row : kAliasRows) {
        if (row.command && strcmp(row.command, command.name) == 0)
            return &row;
        if (!row.command && command.transferType == 2 && row.kind == ALIAS_GET_LOG)
            return &row;
        if (!row.command && row.kind == ALIAS_SET_LOG && command.index >= SVC_SET_BB && command.index <= SVC_SET_MATRIX)
            return &row;
    }
    return nullptr;
}

int32_t aliasLevel(const AliasRow &row)
{
    if (!row.command)
        return kCommandRows[SVC_GET_BB].level;
    const CommandRow *command = findCommandByName(row.command);
    return command ? command->level : 10;
}

// ---------------------------------------------------------------- arguments

static const char *mapWord(const AliasRow &row, const std::string &arg)
{
    for (int i = 0; i < row.wordCount; i++)
        if (strcasecmp(arg.c_str(), row.words[i].word) == 0 || strcasecmp(arg.c_str(), row.words[i].daemonWord) == 0)
            return row.words[i].daemonWord;
    return nullptr;
}

static std::string wordChoices(const AliasRow &row)
{
    std::string text;
    for (int i = 0; i < row.wordCount; i++)
        text += (i ? (i + 1 == row.wordCount ? " or " : ", ") : "") + std::string(row.words[i].word);
    return text;
}

bool mapAliasArguments(const AliasRow &row, const std::vector<std::string> &args, std::string *payload,
                       bool *hasPayload, std::string *error)
{
    payload->clear();
    *hasPayload = false;
    if (row.kind == ALIAS_TEXT) {
        for (size_t i = 0; i < args.size(); i++)
            *payload += (i ? " " : "") + args[i];
        *hasPayload = !args.empty();
        return true;
    }

    const int count = int(args.size());
    if (count < row.minArgs || count > row.maxArgs) {
        *error = std::string(row.alias) + (row.maxArgs == 0 ? " takes no arguments" : " takes " + std::string(row.synopsis));
        return false;
    }
    if (count == 0) {
        if (row.defaultPayload) {
            *payload = row.defaultPayload;
            *hasPayload = true;
        }
        return true;
    }
    for (int i = 0; i < count; i++) {
        const char *word = mapWord(row, args[i]);
        if (!word && row.wordsOnly) {
            *error = std::string(row.alias) + " takes " + wordChoices(row) + ", not \"" + args[i] + "\"";
            return false;
        }
        if (i && row.separator)
            *payload += row.separator;
        *payload += word ? word : args[i];
    }
    *hasPayload = true;
    return true;
}

// ------------------------------------------------------------------ speed

static const char kSpeedFormat[] =
    "set-speed takes a speed as the display shows it, 0 to 10 in steps of 0.5 (e.g. 5.5 or 3), soft or stop, "
    "or the raw form A B C D (A at most 255, B, C and D at most 65535)";

// Decimal digits only: the daemon reads its numbers with base 0, where a
// leading 0 would make "010" eight.
static bool readDecimal(const std::string &text, unsigned long limit, unsigned long *value)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoul(text);
    return *value <= limit;
}

// A display speed in tenths: "5.5" is 55, "3" is 30, ".5" is 5. Digits after
// the first decimal must be zeros; the GUI knows no finer speeds.
static bool readDisplaySpeed(const std::string &text, unsigned long *tenths)
{
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    unsigned long units = 0, tenth = 0;
    if (whole.empty() && fraction.empty())
        return false;
    if (!whole.empty() && !readDecimal(whole, 10, &units))
        return false;
    if (dot != std::string::npos &&
        (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string::npos ||
         fraction.find_first_not_of('0', 1) != std::string::npos))
        return false;
    if (!fraction.empty())
        tenth = static_cast<unsigned long>(fraction[0] - '0');
    *tenths = units * 10 + tenth;
    return true;
}

bool speedPayload(const std::vector<std::string> &args, std::string *payload, std::string *error)
{
    payload->clear();
    if (args.size() == 4 || (args.size() == 1 && args[0].find(',') != std::string::npos)) {
        std::vector<std::string> parts = args;
        if (args.size() == 1) {
            parts.clear();
            for (size_t start = 0;;) {
                const size_t comma = args[0].find(',', start);
                parts.push_back(args[0].substr(start, comma - start));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        }
        unsigned long value = 0;
        for (size_t i = 0; i < parts.size(); i++) {
            if (parts.size() != 4 || !readDecimal(parts[i], i == 0 ? 255 : 65535, &value)) {
                *error = std::string(kSpeedFormat) + "; not \"" + (args.size() == 1 ? args[0] : parts[i]) + "\"";
                return false;
            }
            *payload += (i ? "," : "") + std::to_string(value);
        }
        return true;
    }
    if (args.size() == 1) {
        if (strcasecmp(args[0].c_str(), "soft") == 0) {
            *payload = "SOFT";
            return true;
        }
        if (strcasecmp(args[0].c_str(), "stop") == 0) {
            *payload = "0.0";
            return true;
        }
        // The daemon takes the speeds of its speed table, in steps of 0.5,
        // and 0.3 (soft); 0.1 and 0.2 are rows it refuses.
        unsigned long tenths = 0;
        if (readDisplaySpeed(args[0], &tenths) && tenths <= 100 && (tenths % 5 == 0 || tenths == 3)) {
            *payload = std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
            return true;
        }
        *error = std::string(kSpeedFormat) + "; not \"" + args[0] + "\"";
        return false;
    }
    *error = kSpeedFormat;
    return false;
}

// -------------------------------------------------------------------- logs

const LogRow kLogRows[] = {
    {"bb", "operational", SVC_GET_BB, SVC_SET_BB, true},
    {"events", nullptr, SVC_GET_EVENTS, SVC_SET_EVENTS, true},
    {"errors", nullptr, SVC_GET_ERRORS, SVC_SET_ERRORS, true},
    {"eventlist", nullptr, SVC_GET_EVENTLIST, SVC_SET_EVENTLIST, false},
    {"repaevents", nullptr, SVC_GET_REPAEVENTS, SVC_SET_REPAEVENTS, true},
    {"matrix", nullptr, SVC_GET_MATRIX, SVC_SET_MATRIX, false},
};

const int kLogRowCount = int(sizeof kLogRows / sizeof kLogRows[0]);

std::string logFileName(const LogRow &log)
{
    std::string path = kCommandRows[log.getIndex].file;
    return path.substr(path.rfind('/') + 1);
}

const LogRow *findLog(const std::string &name)
{
    for (const LogRow &log : kLogRows)
        if (strcasecmp(name.c_str(), log.name) == 0 || (log.other && strcasecmp(name.c_str(), log.other) == 0) ||
            strcasecmp(name.c_str(), logFileName(log).c_str()) == 0)
            return &log;
    return nullptr;
}

// -------------------------------------------------------------------- help

static std::string pad(std::string text, size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    else
        text += ' ';
    return text;
}

std::string helpListing()
{
    std::string text =
        "Commands. Level 1 commands take any role's key; level 5 commands every key but\n"
        "the service key.\n\n";
    for (const AliasRow &row : kAliasRows) {
        std::string usage = std::string(row.alias) + (*row.synopsis ? " " : "") + row.synopsis;
        std::string line = "  " + pad(usage, 36) + std::to_string(aliasLevel(row)) + "  ";
        if (usage.size() > 36)
            line = "  " + usage + "\n" + std::string(38, ' ') + std::to_string(aliasLevel(row)) + "  ";
        text += line + row.summary + "\n";
    }
    text += "\n  " + pad("shell", 39) + "one session, many commands\n";
    text += "  " + pad("help [COMMAND]", 39) + "this listing, or one command explained\n";
    text +=
        "\nEvery command can also be given by its daemon name with its argument sent\n"
        "unchanged, e.g. `mifctl MCH_SET_HEATING ON`:\n\n";
    std::string line = " ";
    for (const CommandRow &row : kCommandRows) {
        if (line.size() + strlen(row.name) + 1 > 78) {
            text += line + "\n";
            line = " ";
        }
        line += " " + std::string(row.name);
    }
    text += line + "\n";
    text +=
        "\nExit status: 0 ACK or a value, 1 a NAK answer, 2 a usage error, 3 no\n"
        "connection, a time-out or a refused authentication.\n";
    return text;
}

static std::string aliasHelp(const AliasRow &row)
{
    std::string text = "mifctl " + std::string(row.alias) + (*row.synopsis ? " " : "") + row.synopsis + "\n\n  " +
                       row.summary + ".\n";
    if (*row.details) {
        text += "\n";
        std::string details = row.details;
        size_t start = 0;
        while (start < details.size()) {
            size_t end = details.find('\n', start);
            if (end == std::string::npos)
                end = details.size();
            text += "  " + details.substr(start, end - start) + "\n";
            start = end + 1;
        }
    }
    if (row.kind == ALIAS_GET_LOG || row.kind == ALIAS_SET_LOG) {
        text += "\n  Logs:\n";
        for (const LogRow &log : kLogRows)
            text += "    " + pad(log.name, 12) + logFileName(log) + (log.takesIndex ? "" : "  (no rotated copies)") +
                    "\n";
    }
    if (row.wordCount > 0 && row.words == kTestCommands) {
        text += "\n  Test commands:";
        for (int i = 0; i < row.wordCount; i++)
            text += std::string(i % 3 ? " " : "\n    ") + row.words[i].daemonWord;
        text += "\n";
    }
    text += "\n  Level " + std::to_string(aliasLevel(row)) + ". Daemon command: ";
    if (row.command) {
        const CommandRow *command = findCommandByName(row.command);
        text += std::string(row.command) + " (index " + std::to_string(command ? command->index : -1) + ")";
    } else {
        text += row.kind == ALIAS_GET_LOG ? "SVC_GET_BB ... SVC_GET_MATRIX" : "SVC_SET_BB ... SVC_SET_MATRIX";
    }
    return text + ".\n";
}

bool helpForCommand(const std::string &name, std::string *text)
{
    if (const AliasRow *row = findAlias(name)) {
        *text = aliasHelp(*row);
        return true;
    }
    const CommandRow *command = nullptr;
    for (const CommandRow &row : kCommandRows)
        if (strcasecmp(name.c_str(), row.name) == 0)
            command = &row;
    if (!command)
        return false;

    static const char *const kTypes[] = {"plain", "file to the appliance", "file from the appliance"};
    char head[256];
    snprintf(head, sizeof head, "%s: index %d, level %d, %s%s%s\n", command->name, command->index,
             command->level, kTypes[command->transferType], *command->file ? ", file " : "",
             command->file);
    *text = head;
    switch (command->transferType) {
    case 1: *text += "\n  mifctl " + std::string(command->name) + " FILE   sends FILE's bytes unchanged.\n"; break;
    case 2:
        *text += "\n  mifctl " + std::string(command->name) +
                 " [SUFFIX] [-o FILE]   fetches the file (SUFFIX names a rotated copy).\n";
        break;
    default: *text += "\n  mifctl " + std::string(command->name) + " [ARG]   sends ARG unchanged.\n"; break;
    }
    if (command->index == CMD_ERROR)
        *text += "\n  Has no answer: the daemon ends the session.\n";
    else if (command->index == MCH_CHAP)
        *text += "\n  Answers the session's challenge again with the key in use (mifctl does\n"
                 "  this on connecting); the challenge is valid for 10 s.\n";
    if (const AliasRow *alias = aliasForCommand(*command))
        *text += "\n  Friendly form:\n\n" + aliasHelp(*alias);
    return true;
}

std::vector<std::string> commandWords()
{
    std::vector<std::string> words;
    for (const AliasRow &row : kAliasRows)
        words.push_back(row.alias);
    for (const CommandRow &row : kCommandRows)
        words.push_back(row.name);
    for (const char *extra : {"help", "shell", "exit", "quit", "reconnect"})
        words.push_back(extra);
    return words;
}

// Edits (insert, delete, replace, swap of two neighbours) from a to b.
static int lowerChar(char c) { return tolower(static_cast<unsigned char>(c)); }

static size_t editDistance(const std::string &a, const std::string &b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++)
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t cost = lowerChar(a[i - 1]) == lowerChar(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lowerChar(a[i - 1]) == lowerChar(b[j - 2]) && lowerChar(a[i - 2]) == lowerChar(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string nearestCommand(const std::string &word)
{
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string &candidate : commandWords()) {
        const size_t distance = editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}
