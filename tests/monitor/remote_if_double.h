// A test double of the machine-control requests the monitoring code makes:
// the tests set the answers and count the calls. It stands in for the
// request catalogue so that no machine control is needed.
#pragma once

#include <atomic>
#include <cstdint>

struct RemoteIfDouble {
    std::atomic<uint64_t> sysTime{0};
    std::atomic<int16_t> motorValueFT{0};
    std::atomic<int32_t> motorValueTS{0};
    std::atomic<uint8_t> secondaryDataResult{1};   // 0: the request fails
    std::atomic<int> secondaryDataRequests{0};
    std::atomic<int> motorValueCalls{0};

    void reset()
    {
        sysTime = 0;
        motorValueFT = 0;
        motorValueTS = 0;
        secondaryDataResult = 1;
        secondaryDataRequests = 0;
        motorValueCalls = 0;
    }
};

extern RemoteIfDouble remoteIfDouble;
