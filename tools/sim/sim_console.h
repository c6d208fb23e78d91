// What the simulated processes tell the person running them: one line per
// notable change, prefixed with the speaking process's name, on standard
// output. Lines from several processes share one terminal, so each is
// written whole with one call.
#pragma once

#define SIM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Whether chatty lines (every request, every log entry) are shown: set by -v.
void simSetVerbose(bool verbose);
bool simVerbose();

// "[who] text\n".
void simSay(const char *who, const char *format, ...) SIM_PRINTF(2, 3);
// The same, only when verbose.
void simTrace(const char *who, const char *format, ...) SIM_PRINTF(2, 3);
