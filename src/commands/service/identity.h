// The appliance's identity numbers and versions.
//
// The appliance serial lives in /mnt/rwfs/data/system_config/qxsn.dat
// (exactly 17 decimal digits, zero-padded, the last one a GS1 check digit).
// Two more identity values are burnt into the processor's one-time
// programmable memory: value A in OTP words 0 and 1, value B in words 2 and
// 3, read as bytes 0-7 and 8-15 of /sys/uid/otp/id.bin (little-endian, the
// lower word the low half). Versions come from machine control, from the
// data package and from the front-end software.
#pragma once

#include <cstdint>

#define SERIAL_FILE "/mnt/rwfs/data/system_config/qxsn.dat"
#define DATA_PACKAGE_VERSION_FILE "/mnt/rwfs/data/datpak.ver"
#define SW_VERSION_SCRIPT "/opt/get_sw_version_into_file.sh"
#define SW_VERSION_FILE "/tmp/SW_VERSION"
#define OTP_ID_BIN_FILE "/sys/uid/otp/id.bin"

enum : uint64_t { SERIAL_MAX = 99999999999999999ull, OTP_UNREADABLE = UINT64_MAX };
enum { SERIAL_DIGITS = 17, VERSION_TEXT_SIZE = 256, BACKEND_SERIAL_SIZE = 32 };

struct IdentityCache {
    uint64_t serial;                              // 0: not set (or invalid)
    uint64_t otpValueA;                           // OTP words 0 and 1
    uint64_t otpValueB;                           // OTP words 2 and 3
    char frontEndVersion[VERSION_TEXT_SIZE];      // first line of /tmp/SW_VERSION
    char dataPackageVersion[VERSION_TEXT_SIZE];   // datpak.ver as read
    uint8_t backendVersions[32];                  // words: 0 SWMC, 1 SWPC, 2 BEHW
    char backendSerial[48];                       // "" until fetched
};

// Process-wide; filled at start-up and by MCH_GET_SERIAL / MCH_SET_SERIAL.
extern IdentityCache identityCache;

// Start-up: OTP value B, OTP value A, the appliance serial, the data package
// version, then the front-end version (running the version script first).
void readIdentity();

// OTP value B (which = 0) or A (which = 1); OTP_UNREADABLE on failure.
uint64_t readSerialFromOTP(int which);

// Reads datpak.ver into the cache; empty when missing, too long or short.
void readDataPackageVersion();

// The appliance serial in the file, 0 when it is missing or not valid.
uint64_t readSerialFile();

// The check digit (0..9) when `value` has at most 17 digits and its last
// digit is the GS1 check digit of the ones before it; otherwise 255.
uint8_t serialCheckDigit(uint64_t value);
