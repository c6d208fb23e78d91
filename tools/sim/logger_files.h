// Where and how the logger writes: the readable log of the daemon's texts
// and the service logs that take black-box entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define MIFD_LOG_FILE "/var/log/mifd.log"
#define TECH_BOX_DIR "/mnt/rwfs/data/tech_box/"

enum : uint32_t { LOGGER_DEFAULT_THRESHOLD = 6 };

// "2026-01-02 10:00:00.123 <5> [Mcl] text\n": time, level, the source when
// it is not the daemon, and the text without its own line ends.
std::string formatLogLine(const std::string &time, uint32_t level, const std::string &source, std::string text);

// "<ms>;<code>;<message>\n", the form of every line of the service logs.
std::string formatBlackBoxLine(uint64_t machineMs, const std::string &code, const std::string &message);

// The service logs (appliance paths) that take a black-box entry of this
// kind and code.
std::vector<const char *> blackBoxFiles(uint32_t kind, const std::string &code);
