// In-process tests of the request functions: this process is the daemon,
// "Mif", and plays the peers too (their socket files lead to its own).
// Requests wait the daemon's reply time-out; tests of silent peers shorten
// it so that silence costs little.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "frame/log_ring.h"
#include "ipc/ipc.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

enum { DAEMON_REPLY_TIMEOUT_MS = 1000, SHORT_REPLY_TIMEOUT_MS = 200, SHORT_SILENT_HOLD_MS = 260 };

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.attach(root.path(), "Mif"));
        ASSERT_EQ(IPC_Init(5, "Mif"), IPC_OK);
        ASSERT_TRUE(peer.addRole(PeerRole::Mcl));
        ASSERT_EQ(IPC_OpenRequester("Mcl", DAEMON_REPLY_TIMEOUT_MS), IPC_OK);
        logSetThreshold(0);
        resetLog();
    }

    void TearDown() override
    {
        peer.stop();
        IPC_Deinit();
        logRingFree();
    }

    // From here on only silence is tested: answers need not be quick.
    void shortReplyTimeout()
    {
        ASSERT_EQ(IPC_CloseRequester("Mcl"), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester("Mcl", SHORT_REPLY_TIMEOUT_MS), IPC_OK);
        peer.setSilentHoldMs(SHORT_SILENT_HOLD_MS);
    }

    // The ring collects what the functions log; nothing sends it here.
    static void resetLog()
    {
        logRingFree();
        logRingStart(5, LOG_RING_MAX_CAPACITY);
    }

    struct Line {
        uint32_t level;
        std::string text;
    };
    static std::vector<Line> logLines()
    {
        std::vector<Line> lines;
        LogEntry e;
        for (unsigned i = 0; logRingPeek(i, &e); i++) {
            if (e.kind == LOG_KIND_TEXT)
                lines.push_back({e.level, e.text ? e.text : ""});
            logEntryRelease(&e);
        }
        return lines;
    }
    static size_t countLines(const std::string &text, uint32_t level = 6)
    {
        size_t n = 0;
        for (const Line &l : logLines())
            n += l.text == text && l.level == level;
        return n;
    }

    // After a silent request: its tries have all arrived and the peer holds
    // none of them any longer.
    void settleSilence(uint32_t code, size_t tries)
    {
        EXPECT_TRUE(peer.waitForRequests(code, tries, 3000));
        EXPECT_TRUE(peer.waitIdle(3000));
        peer.setSilent(code, false);
        peer.clear();
        resetLog();
    }

    TempRoot root;
    IpcPeer peer;
};
