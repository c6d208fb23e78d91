// Machine control's answers: one handler per request code, for the
// daemon's own requests (RemoteIF) and for the GUI's request codes, which
// the daemon sends as the GUI would.
#pragma once

#include <cstdint>

#include "mcl_model.h"
#include "wire_bytes.h"

struct McReply {
    uint32_t status = 0;   // 0: carried out
    Bytes payload;
};

// Answers one request against the model at machine time `nowMs`. A code
// machine control does not know, or a payload too short for its fields,
// is answered with status 1; the result says whether the code is known.
bool mclHandleRequest(MachineModel &model, uint32_t code, const uint8_t *payload, int length, uint64_t nowMs,
                      McReply &reply, ModelOutput &out);

// The request's name for the console ("setHeating"), or null.
const char *mclRequestName(uint32_t code);

// Versions machine control reports: software, second software word and
// hardware, and its serial and article numbers.
enum : uint32_t { MCL_SOFTWARE_VERSION = 0x00030215, MCL_SECOND_SOFTWARE_VERSION = 0x00010007, MCL_HARDWARE_VERSION = 0x00000004 };
#define MCL_BACKEND_SERIAL "40251117000042A17"
#define MCL_BACKEND_ARTICLE "MC-SIM-0001-00"
