// The scale readings machine control reports (events 10 and 20).
#pragma once

#include <cstdint>

void onScaleWeight(int32_t weight);     // event 10, payload word 0
void onScaleAdValue(int32_t adValue);   // event 20, payload bytes 8-11
