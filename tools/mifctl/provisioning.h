// Reading back what provisioning writes: the calibration table's text and
// the identity values of the MCH_GET_SERIAL answer as numbers, so that a
// client can tell whether an appliance already holds what it would write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial_info.h"

struct CalPoint {
    uint32_t grams = 0;
    int32_t ad = 0;
};

// The table as MCH_GET_CALDATA sends it ("0,1200;1000,81200;"). False when
// the text is not a list of such pairs.
bool parseCaldataText(const std::string &text, std::vector<CalPoint> *points);

// The MCH_SET_CALDATA argument that adds one point ("1000,81200").
std::string caldataArgument(const CalPoint &point);

// The value MCH_SET_SERIAL writes for `target` ("" for the appliance
// serial, "PEDEU" or "FEEAN" for an OTP value), as the identity answer
// reports it. False when the answer lacks it or it is not a number.
bool identityValue(const std::vector<SerialField> &fields, const std::string &target, uint64_t *value);
