// The simulated appliance's file tree under MIF_ROOT: device files, the
// OTP files, the version script, and the data partition with its service
// logs, flag and configuration files.
#pragma once

#include <string>

// MIF_ROOT as given, or "" with *error set when it is missing: the
// simulator never works on the host's own /dev, /tmp or /mnt.
std::string simRequireRoot(std::string *error);

// Creates everything that is missing; what exists stays as it is, so that
// a root used again keeps its serial, logs and burnt OTP words.
bool seedApplianceRoot(std::string *error);

// What the seeded appliance holds.
#define SEED_SERIAL "04025111700004216"
#define SEED_DATA_PACKAGE_VERSION "DP-2025.11.0\n"
#define SEED_SW_VERSION_LINE "V: 2.14.3 (simulated)"
#define SW_VERSION_SCRIPT "/opt/get_sw_version_into_file.sh"
