// The daemon's two log sinks.
//
// The console sink prints a few operator lines (levels 0 to 2) on the
// appliance's text console. The logger sink queues every diagnostic line, at
// a priority level (3 error, 4 warning, 5 notice, 6 trace), for the logger
// process; the logger client (ipc/logger_client.h) sends the queue on.
// Nothing is sent before the logger client is started: until then, and after
// it stopped, every logger call is dropped.
#pragma once

#include <cstdint>

#define MIF_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Prints the formatted text on the console when `level` is 2 or less.
// Returns `level`.
unsigned consoleLog(unsigned level, const char *format, ...) MIF_PRINTF(2, 3);

// Chooses /dev/tty0 (under MIF_ROOT when set) as the console and clears the
// screen; standard error when the device cannot be opened.
void openConsole();

// Queues one text entry for the logger. `ignored` is kept for callers that
// pass 0. Dropped when the logger is not running, when the reported
// threshold is below `level` (before any formatting), or when formatting
// yields nothing. Texts are cut at 4095 characters.
void LOGGER_LogMessage(int level, int ignored, const char *format, ...) MIF_PRINTF(3, 4);

// Queues one black-box record: two-letter code and message (null = ""). The
// texts go out with their control bytes blanked (see blankControlBytes):
// clients supply them, and one record must stay one line of the logs.
void LOGGER_LogBlackboxRecord(const char *code, const char *message);

// Replaces CR, LF and every other control byte (below 0x20, and 0x7f) in the
// NUL-terminated text with a blank, in place, so that a text from a client
// can neither end its log line nor start a forged one. Null is left alone.
void blankControlBytes(char *text);

// Trace helpers: "function,line: text" at a level, and the entry and exit
// lines of traced functions.
#define MIF_LOG(level, fmt, ...) \
    LOGGER_LogMessage((level), 0, "%s,%i: " fmt, __func__, __LINE__, ##__VA_ARGS__)
#define MIF_TRACE_ENTER() \
    LOGGER_LogMessage(6, 0, "%s,%i: Function entered \n", __func__, __LINE__)
#define MIF_TRACE_LEAVE() \
    LOGGER_LogMessage(6, 0, "%s,%i: Function left\n", __func__, __LINE__)
