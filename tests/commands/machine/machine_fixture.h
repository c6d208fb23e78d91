// The real daemon with this test process playing machine control: commands
// go in over a client session, requests arrive at the peer with their
// payload bytes, and events published here reach the daemon's monitors.
#pragma once

#include <chrono>
#include <csignal>
#include <future>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "requests/request_codes.h"
#include "session/command_list.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

// Little-endian payload bytes of several values in a row.
template <typename... T> Bytes bytesOfAll(T... values)
{
    Bytes out;
    (
        [&] {
            Bytes b = bytesOf(values);
            out.insert(out.end(), b.begin(), b.end());
        }(),
        ...);
    return out;
}

class MachineCommandTest : public ::testing::Test {
protected:
    TempRoot root;
    IpcPeer mcl;
    Daemon mifd;
    Client client;
    std::map<std::string, std::string> daemonEnv;   // set before SetUp runs

    void SetUp() override
    {
        ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
        ASSERT_TRUE(mifd.start(root, {"-nowait"}, daemonEnv));
        ASSERT_TRUE(client.connect(mifd.port()));
        if (client.authenticate("developer") != "ACK")
            GTEST_SKIP() << "the build's role keys have no private developer key here";
        ASSERT_TRUE(eventsArrive()) << "the daemon does not receive machine control's events";
    }

    void TearDown() override
    {
        client.close();
        mifd.signalAndWait(SIGKILL, 5000);
        mcl.stop();
    }

    std::string call(int32_t index, const char *text) { return client.call(index, text); }
    // For commands whose requests go unanswered and are tried three times.
    std::string callSlow(int32_t index, const char *text)
    {
        Frame answer;
        if (!client.sendText(index, 11, text) || !client.receive(&answer, 15000))
            return "(no answer)";
        return answer.text();
    }

    // A command whose answer waits for events: runs on its own thread
    // while the test publishes.
    std::future<std::string> callLater(int32_t index, const char *text)
    {
        return std::async(std::launch::async, [this, index, text] { return client.call(index, text); });
    }
    static std::string answerOf(std::future<std::string> &answer)
    {
        if (answer.wait_for(std::chrono::seconds(15)) != std::future_status::ready)
            return "(no answer)";
        return answer.get();
    }

    // The payloads of the requests of one code that arrived since `since`.
    std::vector<Bytes> payloads(uint32_t code, uint64_t since = 0) const
    {
        std::vector<Bytes> out;
        for (const PeerRequest &r : mcl.requests(code))
            if (r.seq >= since)
                out.push_back(r.payload);
        return out;
    }

    // Waits for a request of `code` (with `payload`, when given) that
    // arrived at or after `since`; its sequence number, or 0.
    uint64_t awaitRequest(uint32_t code, uint64_t since, const Bytes *payload = nullptr) const
    {
        uint64_t found = 0;
        mcl.waitFor(
            [&] {
                for (const PeerRequest &r : mcl.requests(code))
                    if (r.seq >= since && (!payload || r.payload == *payload)) {
                        found = r.seq;
                        return true;
                    }
                return false;
            },
            5000);
        return found;
    }

    void publish(uint32_t eventId, const Bytes &payload) { ASSERT_TRUE(mcl.publish(MCL_TOPIC_0, eventId, payload)); }
    void publishInt(uint32_t eventId, int32_t value) { publish(eventId, bytesOf(value)); }

    // A machine error: the code, then four bytes the daemon does not read.
    void publishError(int32_t code) { publish(MCL_EV_ERROR_AND_WARNING, bytesOfAll(code, int32_t(0))); }

    // Lid, bowl and transport reports (16 bytes): the event time, then the
    // code at byte 10 and the value at byte 12.
    void publishRemoteEvent(uint8_t code)
    {
        Bytes payload(16, 0);
        payload[10] = code;
        publish(MCL_EV_REMOTE_EVENT, payload);
    }

    // The daemon handles machine control's events in order, and a
    // temperature report makes it ask for the machine time: once that
    // request comes, every event published before it has been handled.
    bool eventBarrier()
    {
        uint64_t mark = mcl.nextSeq();
        return mcl.publishUntil(MCL_TOPIC_0, MCL_EV_CURRENT_TEMPERATURE, bytesOf(uint32_t(20)),
                                [&] { return !payloads(RIF_GET_SYS_TIME, mark).empty(); }, 5000);
    }
    bool eventsArrive() { return eventBarrier(); }
};
