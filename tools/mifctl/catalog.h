// What mifctl knows about the daemon's commands.
//
// Two tables. The command rows come straight from the list the daemon is
// built from (index, name, level, transfer type, file), so the client can
// never disagree with it about an index. The alias rows add what a person
// types: a lower-case name, the arguments, how those map to the daemon's
// exact words, and the help text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CommandRow {
    int32_t index;
    const char *name;
    int32_t level;         // 0 none, 1 service, 5 full
    int32_t transferType;  // 0 plain, 1 file to the appliance, 2 file from it
    const char *file;      // the appliance's file of a file command, else ""
};

enum { CATALOG_COMMAND_COUNT = 53 };

extern const CommandRow kCommandRows[CATALOG_COMMAND_COUNT];

// The row of a raw command name (exact, as the daemon spells it), or null.
const CommandRow *findCommandByName(const std::string &name);
const CommandRow *findCommandByIndex(int32_t index);

// How an alias row turns what was typed into a request.
enum AliasKind {
    ALIAS_PLAIN,     // arguments mapped through the word list, joined by the separator
    ALIAS_TEXT,      // free text: the arguments joined by blanks
    ALIAS_CLOCK,     // a date and time, or "now"
    ALIAS_GET_LOG,   // download one of the six service logs
    ALIAS_SET_LOG,   // upload one of the six service logs
    ALIAS_IPADDR,    // the address file
    ALIAS_IMAGE,     // a PNG or raw picture for the display
    ALIAS_SOUND,     // a WAV or raw PCM sound
    ALIAS_PACKAGE,   // a signed data package
    ALIAS_STATE,     // the machine-state log, decoded
    ALIAS_SERIAL,    // serial numbers and versions, labelled
    ALIAS_SPEED,     // a speed as the display shows it, or the raw four-number form
    ALIAS_WEIGHT,    // the scale's reading, labelled
    ALIAS_ALL_OFF,   // motor stopped and heater off, from several commands
};

// A friendly word and the daemon's word it stands for. Arguments are
// compared with both, ignoring case.
struct WordMap {
    const char *word;
    const char *daemonWord;
};

struct AliasRow {
    const char *alias;
    const char *command;     // raw name; null for the log aliases, which cover six rows each
    AliasKind kind;
    const char *synopsis;    // the arguments as help shows them
    const char *summary;     // one line for the listing
    const char *details;     // what `help ALIAS` adds
    // ALIAS_PLAIN only:
    int minArgs;
    int maxArgs;
    char separator;          // joins several arguments into one payload
    bool wordsOnly;          // an argument that is no word is a usage error
    const WordMap *words;
    int wordCount;
    const char *defaultPayload;  // sent when no argument is given; null sends none
};

extern const AliasRow kAliasRows[];
extern const int kAliasRowCount;

// The alias row of a friendly name (ignoring case), or null.
const AliasRow *findAlias(const std::string &alias);

// The friendly form that covers a raw command, or null (CMD_ERROR, MCH_CHAP).
const AliasRow *aliasForCommand(const CommandRow &row);

// The level a command needs, for an alias: that of its command (1 for logs).
int32_t aliasLevel(const AliasRow &row);

// The payload an ALIAS_PLAIN or ALIAS_TEXT row sends for the typed
// arguments. False with a usage message when the arguments do not fit;
// *hasPayload false means the request carries no payload at all.
bool mapAliasArguments(const AliasRow &row, const std::vector<std::string> &args, std::string *payload,
                       bool *hasPayload, std::string *error);

// The payload of set-speed: the daemon's own form of a speed as the display
// shows it ("5.5", "0.0", "SOFT"), or the four raw numbers joined by commas.
// False with a usage message saying the expected format.
bool speedPayload(const std::vector<std::string> &args, std::string *payload, std::string *error);

// The six service logs, by the name get-log and set-log take.
struct LogRow {
    const char *name;       // "events"
    const char *other;      // a second accepted name, or null
    int32_t getIndex;       // SVC_GET_*
    int32_t setIndex;       // SVC_SET_*
    bool takesIndex;        // the upload may name a rotated copy ("N:" prefix)
};

extern const LogRow kLogRows[];
extern const int kLogRowCount;

// The log of a name: its own name, the second name, or the file name
// ("Events.log"), ignoring case. Null when none matches.
const LogRow *findLog(const std::string &name);

// The log's file name on the appliance without its directory ("Events.log").
std::string logFileName(const LogRow &log);

// The help texts: the whole listing, and one command (alias or raw name).
std::string helpListing();
bool helpForCommand(const std::string &name, std::string *text);

// Every name a command can be typed with, for completion.
std::vector<std::string> commandWords();

// The command name nearest to a mistyped word (ignoring case), or "" when
// none is near enough to be what was meant.
std::string nearestCommand(const std::string &word);
