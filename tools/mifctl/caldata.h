// set-caldata's answers, told apart for a person.
//
// The daemon answers "NAK: Failed to calibrate scale" both for the first
// point of a table, which it stores (one point is no segment, so the scale
// is not calibrated yet), and for a point machine control refused, which
// it does not keep. Only the table afterwards tells them apart, so the
// client reads it back after that answer. Every other NAK leaves the table
// as it was; "ACK" means stored and calibrated.
#pragma once

#include <string>

#include "connection.h"
#include "run.h"

enum CaldataOutcome {
    CALDATA_CALIBRATED,    // stored, and machine control took the table
    CALDATA_FIRST_POINT,   // stored as the table's only point; waits for a second
    CALDATA_REFUSED,       // not stored; table and file as they were
    CALDATA_CLEARED,       // CLEAR: the table in memory is empty
    CALDATA_UNKNOWN,       // the table could not be read back
};

// The outcome of a set-caldata request with `payload` and its answer, with
// one sentence for a person in *note. Reads the table back (MCH_GET_CALDATA)
// only after "NAK: Failed to calibrate scale"; false when that request
// failed on the connection (*error).
bool caldataOutcome(Session &session, const std::string &payload, const Answer &answer, CaldataOutcome *outcome,
                    std::string *note, std::string *error);

// The client's check of set-caldata's GRAMS: the daemon reads "-5" as
// 4294967291 g (an unsigned number wraps), which no scale carries, so a
// sign is refused here. False with a usage message.
bool caldataArgumentsValid(const std::string &payload, std::string *error);

// Sends the request, prints the daemon's answer and the note; the exit code
// is EXIT_ANSWER_OK when the point was stored (as first point too),
// EXIT_ANSWER_NAK when it was refused.
int runSetCaldata(Session &session, const PreparedRequest &request);
