// What the service command tests share: a temporary appliance root, the
// request and answer handling, and a look into the logger queue.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame/log_ring.h"
#include "frame/mif_utilfuncs.h"
#include "ipc/ipc.h"
#include "requests/request_codes.h"
#include "support/mcl_peer.h"
#include "test_env.h"

// A fresh MIF_ROOT under /tmp for one test, removed afterwards.
class ServiceRoot {
public:
    ServiceRoot()
    {
        char pattern[] = "/tmp/mifXXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made ? made : "";
        env_ = std::make_unique<ScopedEnv>("MIF_ROOT", path_.c_str());
        makeDirectory("/mnt/rwfs/data/system_config");
        makeDirectory("/tmp");
    }
    ~ServiceRoot()
    {
        env_.reset();
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    ServiceRoot(const ServiceRoot &) = delete;
    ServiceRoot &operator=(const ServiceRoot &) = delete;

    const std::string &path() const { return path_; }
    std::string at(const std::string &appliancePath) const { return path_ + appliancePath; }
    void makeDirectory(const std::string &appliancePath) const
    {
        std::filesystem::create_directories(at(appliancePath));
    }
    void write(const std::string &appliancePath, const std::string &content) const
    {
        std::filesystem::create_directories(std::filesystem::path(at(appliancePath)).parent_path());
        std::ofstream(at(appliancePath), std::ios::binary) << content;
    }
    std::string read(const std::string &appliancePath) const
    {
        std::ifstream in(at(appliancePath), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    bool exists(const std::string &appliancePath) const { return std::filesystem::exists(at(appliancePath)); }
    // Gives the file a second name and returns it: a file rewritten in place
    // changes under both names, one replaced by another keeps the old
    // content under the second.
    std::string secondName(const std::string &appliancePath) const
    {
        std::string kept = appliancePath + ".kept";
        EXPECT_EQ(link(at(appliancePath).c_str(), at(kept).c_str()), 0);
        return kept;
    }

private:
    std::string path_;
    std::unique_ptr<ScopedEnv> env_;
};

struct CommandDeleter {
    void operator()(Command *command) const { deleteCommand(&command); }
};
using CommandPtr = std::unique_ptr<Command, CommandDeleter>;

// A request as the session hands it over: the text with its NUL, or no
// payload for null.
inline CommandPtr makeRequest(int32_t index, const char *text, int32_t tag = 77)
{
    return CommandPtr(text ? createStringCommand(index, tag, "%s", text) : createStringCommand(index, tag, nullptr));
}

// Runs a handler and returns its answer's text, checking that the answer
// goes back under the request's index and tag.
template <typename Handler>
std::string call(Handler handler, int32_t index, const char *text)
{
    CommandPtr request = makeRequest(index, text, 77);
    CommandPtr answer(handler(request.get(), -1));
    if (!answer)
        return "<no answer>";
    EXPECT_EQ(answer->index, index);
    EXPECT_EQ(answer->tag, 77);
    const char *answerText = commandText(answer.get());
    return answerText ? answerText : "";
}

// The logger queue, started for one test; level-6 traces are filtered out.
class LoggerQueue {
public:
    LoggerQueue()
    {
        logRingFree();
        logRingStart(5, LOG_RING_MAX_CAPACITY);
        logSetThreshold(5);
    }
    ~LoggerQueue() { logRingFree(); }

    // Whether a text entry at `level` reads "function,line: text".
    bool hasText(uint32_t level, const std::string &function, const std::string &text) const
    {
        LogEntry entry;
        bool found = false;
        for (unsigned i = 0; !found && logRingPeek(i, &entry); i++) {
            if (entry.kind == LOG_KIND_TEXT && entry.level == level && entry.text) {
                std::string line = entry.text;
                size_t comma = line.find(',');
                size_t colon = line.find(": ");
                found = comma != std::string::npos && colon != std::string::npos &&
                        line.substr(0, comma) == function && line.substr(colon + 2) == text;
            }
            logEntryRelease(&entry);
        }
        return found;
    }

    // The black-box records queued, as "code|message".
    std::vector<std::string> records() const
    {
        std::vector<std::string> out;
        LogEntry entry;
        for (unsigned i = 0; logRingPeek(i, &entry); i++) {
            if (entry.kind == LOG_KIND_BLACKBOX_RECORD && entry.data && entry.dataSize >= 16) {
                uint32_t codeLength, messageLength;
                memcpy(&codeLength, entry.data + 8, 4);
                memcpy(&messageLength, entry.data + 12, 4);
                if (16 + codeLength + messageLength == entry.dataSize) {
                    const char *code = reinterpret_cast<const char *>(entry.data + 16);
                    out.push_back(std::string(code) + "|" + (code + codeLength));
                }
            }
            logEntryRelease(&entry);
        }
        return out;
    }
};

// A calibration segment as machine control receives it (request 32).
struct Segment {
    int number;
    int32_t adValue;
    int32_t slope;
    bool operator==(const Segment &) const = default;
};
inline std::ostream &operator<<(std::ostream &out, const Segment &s)
{
    return out << "{" << s.number << ", " << s.adValue << ", " << s.slope << "}";
}

// This process is the daemon, "Mif", and plays machine control as well: the
// handlers' requests go through the real request catalogue to `mcl` and
// wait the daemon's own reply time-out, so that slow answers (an emulated
// target) are not taken for silence.
class ServiceCommandTest : public ::testing::Test {
protected:
    enum { REPLY_TIMEOUT_MS = 1000, SHORT_REPLY_TIMEOUT_MS = 200 };

    void SetUp() override
    {
        ASSERT_TRUE(mcl.attach(root.path(), "Mif"));
        ASSERT_EQ(IPC_Init(5, "Mif"), IPC_OK);
        ASSERT_TRUE(mcl.addRole(PeerRole::Mcl));
        ASSERT_EQ(IPC_OpenRequester("Mcl", REPLY_TIMEOUT_MS), IPC_OK);
    }
    void TearDown() override
    {
        mcl.stop();
        IPC_Deinit();
    }
    // Machine control goes away; requests to it give up after short waits.
    void machineControlAbsent()
    {
        mcl.stop();
        ASSERT_EQ(IPC_CloseRequester("Mcl"), IPC_OK);
        ASSERT_EQ(IPC_OpenRequester("Mcl", SHORT_REPLY_TIMEOUT_MS), IPC_OK);
    }

    // The segments machine control was sent, in order. Each request carries
    // the segment number, three unused bytes and two 32-bit values.
    std::vector<Segment> segmentsSent() const
    {
        std::vector<Segment> out;
        for (const PeerRequest &r : mcl.requests(RIF_SET_BALANCE_CALIBRATION)) {
            EXPECT_EQ(r.payload.size(), 12u);
            if (r.payload.size() != 12)
                continue;
            int32_t ad, slope;
            memcpy(&ad, r.payload.data() + 4, 4);
            memcpy(&slope, r.payload.data() + 8, 4);
            out.push_back({r.payload[0], ad, slope});
        }
        return out;
    }

    ServiceRoot root;
    IpcPeer mcl;
    LoggerQueue log;
};
