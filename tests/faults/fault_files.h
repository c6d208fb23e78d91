// What the fault tests share: log content with valid time stamps to plant
// in a daemon's root, what a directory holds after a transfer, and the
// fixture of a root with its daemon.
#pragma once

#include "support/daemon_harness.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace faults {

inline const std::string kTechBox = "/mnt/rwfs/data/tech_box/";
inline const std::string kEvents = kTechBox + "Events.log";

// Log lines of at least `bytes`, each "<time>;EV;<mark x 40>".
inline std::string logLines(char mark, size_t bytes)
{
    std::string text;
    for (uint64_t time = 1000; text.size() < bytes; time += 7)
        text += std::to_string(time) + ";EV;" + std::string(40, mark) + "\n";
    return text;
}

// The names in a directory of the root, sorted.
inline std::vector<std::string> entries(const TempRoot &root, const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(root.at(dir)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A fault test's own root and daemon, killed at the end whatever the test
// left it doing.
class DaemonFaultTest : public ::testing::Test {
protected:
    TempRoot root;
    Daemon daemon;
    void TearDown() override { daemon.signalAndWait(SIGKILL, 5000); }

    void connectAs(Client *client, const std::string &role)
    {
        ASSERT_TRUE(client->connect(daemon.port()));
        ASSERT_EQ(client->authenticate(role), "ACK");
    }
};

} // namespace faults
