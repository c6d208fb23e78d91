#include "caldata.h"

#include <cstdio>
#include <cstdlib>

#include "session/command_list.h"

namespace {

const char kFailedToCalibrate[] = "NAK: Failed to calibrate scale";

// The grams of a "GRAMS[,AD]" text as the daemon reads them (unsigned,
// base from the prefix); false when they are not a number.
bool gramsOf(const std::string &text, unsigned long long *grams)
{
    const std::string field = text.substr(0, text.find(','));
    char *end = nullptr;
    *grams = strtoull(field.c_str(), &end, 0);
    return !field.empty() && *end == '\0';
}

// Whether the table's text ("G,A;G,A;") holds exactly one pair, with `grams`.
bool onlyPointIs(const std::string &table, unsigned long long grams)
{
    const size_t end = table.find(';');
    if (end == std::string::npos || end + 1 != table.size())
        return false;
    unsigned long long stored = 0;
    return gramsOf(table.substr(0, end), &stored) && stored == grams;
}

} // namespace

bool caldataOutcome(Session &session, const std::string &payload, const Answer &answer, CaldataOutcome *outcome,
                    std::string *note, std::string *error)
{
    const std::string text = answerText(answer);
    if (payload == "CLEAR" && !answerIsNak(answer)) {
        *outcome = CALDATA_CLEARED;
        *note = "the table in memory is empty; scali.dat and machine control keep the previous calibration "
                "until the first new point is stored (a restart before that loads the old table again)";
        return true;
    }
    if (!answerIsNak(answer)) {
        *outcome = CALDATA_CALIBRATED;
        *note = "point stored; the scale is calibrated with the table";
        return true;
    }
    unsigned long long grams = 0;
    if (text != kFailedToCalibrate || !gramsOf(payload, &grams)) {
        *outcome = CALDATA_REFUSED;
        *note = "point not stored; the table is as it was";
        return true;
    }
    Answer table;
    if (!request(session, MCH_GET_CALDATA, "", false, &table, error))
        return false;
    if (answerIsNak(table)) {
        *outcome = CALDATA_UNKNOWN;
        *note = "the table could not be read back (" + answerText(table) + ")";
    } else if (onlyPointIs(answerText(table), grams)) {
        *outcome = CALDATA_FIRST_POINT;
        *note = "point stored as the first of the table; the scale is calibrated once a second point is stored";
    } else {
        *outcome = CALDATA_REFUSED;
        *note = "machine control refused the table this point makes (AD values must rise with the weight); "
                "point not stored, the table is as it was";
    }
    return true;
}

bool caldataArgumentsValid(const std::string &payload, std::string *error)
{
    if (payload == "CLEAR")
        return true;
    const std::string grams = payload.substr(0, payload.find(','));
    unsigned long long value = 0;
    if (grams.empty() || grams[0] < '0' || grams[0] > '9' || !gramsOf(grams, &value) || value > 0xFFFFFFFFull) {
        *error = "set-caldata takes GRAMS as a whole number from 0 to 4294967295 without a sign (then, optionally, "
                 "the AD value), or clear; got \"" + grams + "\"";
        return false;
    }
    return true;
}

int runSetCaldata(Session &session, const PreparedRequest &req)
{
    Answer answer;
    std::string error, note;
    if (!request(session, req.index, req.payload, req.hasPayload, &answer, &error)) {
        fprintf(stderr, "mifctl: %s\n", error.c_str());
        return EXIT_CONNECTION;
    }
    const int code = printAnswer(session, req.index, answer);
    if (!req.hasPayload)
        return code;
    CaldataOutcome outcome;
    if (!caldataOutcome(session, req.payload, answer, &outcome, &note, &error)) {
        fprintf(stderr, "mifctl: %s\n", error.c_str());
        return EXIT_CONNECTION;
    }
    fprintf(stderr, "mifctl: %s\n", note.c_str());
    return outcome == CALDATA_FIRST_POINT ? EXIT_ANSWER_OK : code;
}
