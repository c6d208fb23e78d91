// Shared fixture pieces of the monitoring tests: a fresh state log, the
// double's answers reset, the logger ring capturing levels up to 5.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/log_ring.h"
#include "frame/run_state.h"
#include "monitor/state_log.h"
#include "remote_if_double.h"

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        free(getStateString());
        remoteIfDouble.reset();
        stopRequested = false;
        logRingFree();
        logRingStart(5, LOG_RING_MAX_CAPACITY);
        logSetThreshold(5);
    }
    void TearDown() override
    {
        logRingFree();
        logSetThreshold(0);
    }

    // Takes the whole state log as text.
    static std::string takeState()
    {
        char *text = getStateString();
        std::string state = text ? text : "";
        free(text);
        return state;
    }

    // The texts queued for the logger at `level`.
    static std::vector<std::string> logged(uint32_t level)
    {
        std::vector<std::string> texts;
        LogEntry entry;
        for (unsigned i = 0; logRingPeek(i, &entry); i++) {
            if (entry.level == level && entry.text)
                texts.emplace_back(entry.text);
            logEntryRelease(&entry);
        }
        return texts;
    }
};
